// The files dorvane writes itself and where its lines go: a file created or truncated and
// written whole, the errors of one that cannot be, the report sent to a file while standard
// output stays as it was, standard error after the report's lines, and formatting into
// memory with the report's escapes.
#include "linux.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

struct Files : testing::Test {
    std::string folder;
    void SetUp() override
    {
        char name[] = "/tmp/dorvane-files-XXXXXX";
        folder = mkdtemp(name);
    }
    void TearDown() override { system(("rm -rf " + folder).c_str()); }
    std::string read(const std::string &path)
    {
        std::string text;
        int fd = open(path.c_str(), O_RDONLY);
        char chunk[4096];
        for (ssize_t got; fd >= 0 && (got = ::read(fd, chunk, sizeof chunk)) > 0;)
            text.append(chunk, (size_t)got);
        close(fd);
        return text;
    }
};

static HANDLE create(const std::string &path)
{
    wchar_t *name = bytestowide(path.data(), path.size());
    HANDLE file = CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    free(name);
    return file;
}

TEST_F(Files, AFileIsCreatedOrTruncatedAndWrittenWhole)
{
    std::string path = folder + "/f\xff.jsonl"; // a name that is not UTF-8
    for (const char *text : {"a longer first text\n", "{}\n"}) {
        HANDLE file = create(path);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        EXPECT_NE(fcntl(filedescriptor(file), F_GETFD) & FD_CLOEXEC, 0); // no program gets it
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(file, text, (DWORD)strlen(text), &written, nullptr));
        EXPECT_EQ(written, strlen(text));
        closefile(file);
        EXPECT_EQ(read(path), text);
    }
}

TEST_F(Files, TheErrorsOfAFileThatCannotBeHad)
{
    std::string plain = folder + "/plain";
    close(open(plain.c_str(), O_CREAT | O_WRONLY, 0644));
    struct {
        std::string path;
        DWORD error;
    } cases[] = {{folder + "/no/such", ERROR_FILE_NOT_FOUND},
                 {plain + "/below", ERROR_PATH_NOT_FOUND},
                 {folder, ERROR_ACCESS_DENIED},
                 {"", ERROR_FILE_NOT_FOUND}};
    for (auto &c : cases) {
        EXPECT_EQ(create(c.path), INVALID_HANDLE_VALUE) << c.path;
        EXPECT_EQ(GetLastError(), c.error) << c.path;
    }
    HANDLE full = create("/dev/full");
    ASSERT_NE(full, INVALID_HANDLE_VALUE);
    DWORD written;
    EXPECT_FALSE(WriteFile(full, "x\n", 2, &written, nullptr));
    EXPECT_EQ(GetLastError(), 0x70u); // ERROR_DISK_FULL
    closefile(full);
}

// Runs call with standard output and error on files of their own; what reached each.
static std::pair<std::string, std::string> outanderr(const std::function<void()> &call)
{
    fflush(stdout);
    fflush(stderr);
    int saved[2] = {dup(STDOUT_FILENO), dup(STDERR_FILENO)};
    FILE *files[2] = {tmpfile(), tmpfile()};
    for (int i = 0; i < 2; i++)
        dup2(fileno(files[i]), STDOUT_FILENO + i);
    call();
    drainoutput();
    std::string texts[2];
    for (int i = 0; i < 2; i++) {
        dup2(saved[i], STDOUT_FILENO + i);
        close(saved[i]);
        char chunk[4096];
        lseek(fileno(files[i]), 0, SEEK_SET);
        for (ssize_t got; (got = read(fileno(files[i]), chunk, sizeof chunk)) > 0;)
            texts[i].append(chunk, (size_t)got);
        fclose(files[i]);
    }
    return {texts[0], texts[1]};
}

TEST_F(Files, TheReportGoesToItsFileAndStandardErrorComesAfterIt)
{
    std::string path = folder + "/report.txt";
    auto [out, err] = outanderr([&] {
        platformwprintf(L"before %u\n", 1u);
        HANDLE file = create(path);
        platformreportto(file);
        platformwprintf(L"file \"%ls\"\n", L"a\"b");
        platformewprintf(L"summary %ls\n", L"x\ty");
        platformwprintf(L"after\n");
        drainoutput();
        platformreportto(INVALID_HANDLE_VALUE); // not a file: nothing changes
        platformwprintf(L"last\n");
        drainoutput();
        closefile(file);
    });
    EXPECT_EQ(out, "before 1\n");
    EXPECT_EQ(err, "summary x\\ty\n");
    EXPECT_EQ(read(path), "file \"a\\\"b\"\nafter\nlast\n");
}

TEST(Format, IntoMemoryWithTheReportsEscapesAndTheWholeLength)
{
    wchar_t *name = bytestowide("a\xff\n\"", 4);
    char bytes[64];
    EXPECT_EQ(platformsnprintf(bytes, sizeof bytes, L"%ls %u", name, 7u), 11);
    EXPECT_STREQ(bytes, "a\\xff\\n\\\" 7");
    EXPECT_EQ(platformsnprintf(bytes, 5, L"%ls", name), 9); // a clean prefix, and its NUL
    EXPECT_STREQ(bytes, "a");
    EXPECT_EQ(platformsnprintf(nullptr, 0, L"%ls", name), 9);
    free(name);
}
