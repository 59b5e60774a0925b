// The options before the program: where the program starts, the files they name, and
// what a bad one, --help and --version write and end with.
#include "unit.h"

static const wchar_t *usage =
    L"dorvane.exe SOME_PROGRAM_TO_RUN.exe [ARGUMENTS_FOR_PROGRAM] [...]";

TEST_F(Unit, OptionsEndAtTheProgramOrAtTheirEnd)
{
    struct {
        std::vector<std::wstring> args;
        std::wstring line;               // the root's command line
        std::vector<std::wstring> files; // the files created, in order
    } cases[] = {
        {{L"prog.exe", L"--json=x"}, L"prog.exe --json=x ", {}},
        {{L"--json=a.jsonl", L"prog.exe", L"--trace", L"t"},
         L"prog.exe --trace t ",
         {L"a.jsonl"}},
        {{L"--trace", L"t.json", L"--json", L"j", L"prog.exe"},
         L"prog.exe ",
         {L"j", L"t.json"}},
        {{L"--output=o", L"--summary", L"--", L"--prog", L"a"}, L"--prog a ", {L"o"}},
        {{L"--json", L"--", L"prog.exe"}, L"prog.exe ", {L"--"}}, // a FILE is taken as it is
        {{L"-x", L"--json=j"}, L"-x --json=j ", {}},              // one dash is no option
        {{L"--json=", L"-", L""}, L"-  ", {L""}},
        {{L"--json=a", L"--json=b", L"p"}, L"p ", {L"b"}}, // the last one counts
    };
    for (auto &c : cases) {
        standinreset();
        standinfail("CreateProcessW", ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(standinrun(c.args), 2u);
        EXPECT_EQ(standin.commandline, c.line);
        std::vector<std::wstring> created;
        for (auto &call : standin.calls)
            if (call.rfind("CreateFileW(", 0) == 0)
                created.push_back(
                    std::wstring(call.begin() + 12, call.begin() + call.find(',')));
        EXPECT_EQ(created, c.files) << testing::PrintToString(standin.calls);
    }
}

TEST_F(Unit, ABadOptionIsNamedThenTheUsageLineAnd87)
{
    struct {
        std::vector<std::wstring> args;
        std::wstring said; // before the usage line; empty for none
    } cases[] = {
        {{L"--bogus", L"prog.exe"}, L"dorvane.exe: unrecognized option '--bogus'"},
        {{L"--jso=x", L"prog.exe"}, L"dorvane.exe: unrecognized option '--jso=x'"},
        {{L"--summary=yes", L"prog.exe"},
         L"dorvane.exe: option '--summary' doesn't allow an argument"},
        {{L"--summary", L"--trace"}, L"dorvane.exe: option '--trace' requires an argument"},
        {{L"--json=x"}, L""}, // options, but no program
        {{L"--"}, L""},
        {{L"--bogus", L"--help"}, L"dorvane.exe: unrecognized option '--bogus'"},
    };
    for (auto &c : cases) {
        standinreset();
        EXPECT_EQ(standinrun(c.args), 87u);
        lines want = {usage};
        if (!c.said.empty())
            want.insert(want.begin(), c.said);
        EXPECT_EQ(standinlines(), want);
        EXPECT_TRUE(standin.calls.empty()); // no heap, no file, no Exiting line
    }
}

TEST_F(Unit, HelpAndVersionEndWithZeroBeforeAnythingElse)
{
    EXPECT_EQ(standinrun({L"--version", L"--bogus"}), 0u);
    EXPECT_EQ(standinlines(), lines{L"dorvane.exe " DORVANE_VERSION});
    standinreset();
    EXPECT_EQ(standinrun({L"--json=x", L"--help", L"prog.exe"}), 0u);
    EXPECT_TRUE(standin.calls.empty());
    for (const wchar_t *named :
         {L"--output=FILE", L"--json=FILE", L"--trace=FILE", L"--summary", L"--help",
          L"--version", L"DORVANE_TRACKER", L"--json FILE"})
        EXPECT_NE(standin.out.find(named), std::wstring::npos) << named;
}
