// Splitting a command line as the Microsoft C runtime does, including the lines that
// dorvane's own join makes, and arguments whose bytes are not UTF-8.
#include "linux.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

typedef std::vector<std::string> words;

static words split(const std::wstring &line)
{
    char **argv = splitcommandline(line.c_str());
    words result;
    for (char **arg = argv; *arg; arg++)
        result.push_back(*arg);
    free(argv);
    return result;
}

TEST(CommandLine, SplitsByTheRuntimeRules)
{
    struct {
        std::wstring line;
        words expected;
    } cases[] = {
        {L"", {}},
        {L"prog.exe ", {"prog.exe"}},
        {L"cmd /c exit 3 ", {"cmd", "/c", "exit", "3"}},
        {L"a  b ", {"a", "b"}}, // an empty argument joined in gives only a second blank
        {L"a\t\tb\t", {"a", "b"}},
        {L"   ", {""}}, // a leading blank ends an empty program name
        {L" p x", {"", "p", "x"}},
        // The program name: quotes toggle and vanish, backslashes are plain.
        {L"\"C:\\Program Files\\x.exe\" arg", {"C:\\Program Files\\x.exe", "arg"}},
        {L"C:\\dir\\\"a b\"\\x.exe y", {"C:\\dir\\a b\\x.exe", "y"}},
        {L"\"\" x", {"", "x"}},
        {L"pr\"o\"g x", {"prog", "x"}},
        // Quotes and blanks in arguments.
        {L"p \"a b\" c", {"p", "a b", "c"}},
        {L"p \"a b\"c\" d\"", {"p", "a bc d"}},
        {L"p \"\"", {"p", ""}},
        {L"p \"\" x ", {"p", "", "x"}},
        {L"p \"unclosed  arg ", {"p", "unclosed  arg "}},
        {L"p \"a\"\"b\"", {"p", "a\"b"}},       // "" inside quotes: a literal quote
        {L"p a\"b\"\" c d", {"p", "ab\" c d"}}, // ... and the quotes go on
        {L"p \"\"\"\"", {"p", "\""}},
        // Backslashes: literal unless a quote follows them.
        {L"p a\\\\b c\\", {"p", "a\\\\b", "c\\"}},
        {L"p a\\\"b", {"p", "a\"b"}},         // 1 backslash + quote
        {L"p a\\\\\"b c\"", {"p", "a\\b c"}}, // 2 + quote: toggles
        {L"p a\\\\\\\"b", {"p", "a\\\"b"}},   // 3 + quote
        {L"p \"C:\\dir\\\\\" x", {"p", "C:\\dir\\", "x"}},
        {L"p \\\\\\\\\"a b\"", {"p", "\\\\a b"}}, // 4 + quote: two and a toggle
        {L"p\ta\\ \\ b", {"p", "a\\", "\\", "b"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.line.begin(), c.line.end())));
        EXPECT_EQ(split(c.line), c.expected);
    }
}

// What dorvane does with its own argv on Linux: decode each, join each followed by one
// blank, split again. Words without blanks, quotes or backslashes come back byte for byte.
TEST(CommandLine, ArgumentBytesSurviveDecodingJoiningAndSplitting)
{
    words args = {"/bin/printf", "caf\xc3\xa9",      "\xff\xfe", "a\xed\xb2\x80z",
                  "\xc0\xaf",    "\xf0\x9f\x98\x80", "x\x80"};
    std::wstring line;
    for (const auto &arg : args) {
        wchar_t *wide = bytestowide(arg.data(), arg.size());
        line += wide;
        line += L' ';
        free(wide);
    }
    EXPECT_EQ(split(line), args);
}

TEST(CommandLine, ResultIsOneBlockEndedByNull)
{
    char **argv = splitcommandline(L"one \"two three\" four");
    ASSERT_NE(argv, nullptr);
    EXPECT_STREQ(argv[0], "one");
    EXPECT_STREQ(argv[1], "two three");
    EXPECT_STREQ(argv[2], "four");
    EXPECT_EQ(argv[3], nullptr);
    // The strings follow the pointers in the same block (ASan flags any stray access).
    EXPECT_GT((void *)argv[0], (void *)(argv + 3));
    free(argv);
}
