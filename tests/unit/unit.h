// Shared by the unit tests: a fresh stand-in for every test, and the common scripts.
#pragma once

#include "standin.h"
#include "../../supervisor/supervisor.h"

#include <gtest/gtest.h>

#include <algorithm>

typedef std::vector<std::wstring> lines;

struct Unit : testing::Test {
    void SetUp() override { standinreset(); }
    void TearDown() override { standinreset(); }
};

// True when the calls appear in the log in this order (others may come between).
inline bool called(const std::vector<std::string> &order)
{
    size_t at = 0;
    for (const auto &call : standin.calls)
        if (at < order.size() && call == order[at])
            at++;
    return at == order.size();
}

inline bool calledonce(const std::string &call)
{
    return std::count(standin.calls.begin(), standin.calls.end(), call) == 1;
}
