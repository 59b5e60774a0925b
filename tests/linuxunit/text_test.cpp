// UTF-8 to wide text and back: valid text decodes, every invalid byte is escaped one for
// one, and any byte string comes back unchanged.
#include "linux.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

static std::wstring towide(const std::string &bytes)
{
    wchar_t *wide = bytestowide(bytes.data(), bytes.size());
    std::wstring text(wide);
    free(wide);
    return text;
}

static std::string tobytes(const std::wstring &text)
{
    char *bytes = widetobytes(text.c_str());
    std::string result(bytes);
    free(bytes);
    return result;
}

TEST(Text, DecodesValidAndEscapesEachInvalidByte)
{
    struct {
        std::string bytes;
        std::wstring wide;
    } cases[] = {
        {"", L""},
        {"plain /usr/bin/x", L"plain /usr/bin/x"},
        {"caf\xc3\xa9", L"caf\u00e9"},
        {"\xe2\x82\xac", L"\u20ac"},
        {"\xf0\x9f\x98\x80", L"\U0001f600"},
        {"\xef\xbf\xbf\xf4\x8f\xbf\xbf", L"\uffff\U0010ffff"},
        {"\xc2\x80\xe0\xa0\x80\xf0\x90\x80\x80", L"\u0080\u0800\U00010000"},
        {"\xc0\xaf", L"\xdcc0\xdcaf"},                     // overlong '/'
        {"\xc1\xbf", L"\xdcc1\xdcbf"},                     // overlong, 2 bytes
        {"\xe0\x80\xaf", L"\xdce0\xdc80\xdcaf"},           // overlong, 3 bytes
        {"\xf0\x8f\xbf\xbf", L"\xdcf0\xdc8f\xdcbf\xdcbf"}, // overlong, 4 bytes
        {"\xed\xa0\x80", L"\xdced\xdca0\xdc80"},           // encoded U+D800
        {"\xed\xb2\x80", L"\xdced\xdcb2\xdc80"},           // encoded U+DC80 itself
        {"\xed\x9f\xbf", L"\ud7ff"},                       // last before surrogates
        {"\xf4\x90\x80\x80", L"\xdcf4\xdc90\xdc80\xdc80"}, // beyond U+10FFFF
        {"\xf5\x80\x80\x80", L"\xdcf5\xdc80\xdc80\xdc80"}, // no such lead byte
        {"\xff\xfe", L"\xdcff\xdcfe"},
        {"\x80x", L"\xdc80x"},         // stray continuation
        {"\xe2\x82", L"\xdce2\xdc82"}, // cut at the end
        {"\xe2\x82"
         "A\xc3\xa9",
         L"\xdce2\xdc82"
         L"A\u00e9"},                      // cut, then valid
        {"\xc3\xc3\xa9", L"\xdcc3\u00e9"}, // bad lead, then valid
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        EXPECT_EQ(towide(c.bytes), c.wide);
        EXPECT_EQ(tobytes(c.wide), c.bytes);
    }
}

TEST(Text, AnyByteStringSurvivesTheRoundTrip)
{
    std::mt19937 random(1234);
    // Biased toward the bytes that make sequences, so that near misses are frequent.
    const unsigned char interesting[] = {0x41, 0x80, 0x8f, 0x90, 0x9f, 0xa0, 0xbf, 0xc0,
                                         0xc2, 0xdf, 0xe0, 0xed, 0xef, 0xf0, 0xf4, 0xff};
    for (int round = 0; round < 20000; round++) {
        std::string bytes(random() % 12, '\0');
        for (char &b : bytes) {
            unsigned pick = random();
            b = (char)(pick & 1 ? interesting[(pick >> 1) % sizeof interesting]
                                : 1 + (pick >> 1) % 255);
        }
        ASSERT_EQ(tobytes(towide(bytes)), bytes) << testing::PrintToString(bytes);
    }
}

TEST(Text, WideTextThatIsNoCodePointBecomesReplacementCharacter)
{
    const std::string replacement = "\xef\xbf\xbd";
    EXPECT_EQ(tobytes(std::wstring(1, (wchar_t)0xd800)), replacement);
    EXPECT_EQ(tobytes(std::wstring(1, (wchar_t)0xdc7f)), replacement); // escapes only 80..FF
    EXPECT_EQ(tobytes(std::wstring(1, (wchar_t)0x110000)), replacement);
    EXPECT_EQ(tobytes(std::wstring(1, (wchar_t)-1)), replacement);
}

// The core's conversion to UTF-8: strict, text that holds a byte that was not UTF-8 is
// refused, as Windows refuses a lone surrogate; otherwise the bytes come back as they were.
TEST(Text, WideCharToMultiByteRefusesOnlyWhatIsNotUnicodeWhenStrict)
{
    struct {
        std::string bytes;
        bool unicode;
    } cases[] = {{"", true},
                 {"/usr/bin/cc", true},
                 {"\xe2\x82\xac \xf0\x9f\x98\x80", true},
                 {"a\xff"
                  "b",
                  false},
                 {"\xc0\xaf", false},
                 {std::string("a\0b", 3), true}};
    for (auto &c : cases) {
        size_t count;
        wchar_t *wide = bytestowidecount(c.bytes.data(), c.bytes.size(), &count);
        ASSERT_NE(wide, nullptr);
        char out[64];
        int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, (int)count, nullptr, 0,
                                    nullptr, nullptr);
        EXPECT_EQ(n > 0 || c.bytes.empty(), c.unicode) << c.bytes;
        if (!c.unicode) {
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_UNICODE_TRANSLATION);
        }
        n = WideCharToMultiByte(CP_UTF8, 0, wide, (int)count, out, sizeof out, nullptr,
                                nullptr);
        EXPECT_EQ(std::string(out, (size_t)n), c.bytes);
        free(wide);
    }
    wchar_t euro[] = L"\u20ac";
    char small[2];
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, euro, -1, nullptr, 0, nullptr, nullptr), 4);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, euro, -1, small, 2, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
}
