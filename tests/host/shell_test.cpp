// The reference shell runner with a real /bin/sh.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fileUtils/file_utils.h"

namespace {

struct Case {
    const char* cmd;
    bool ok;
    const char* output;
};

TEST(ShellTest, StatusAndCapturedOutput) {
    const Case cases[] = {
        {"echo hello", true, "hello\n"},
        {"echo out; echo err >&2; echo out2", true, "out\nerr\nout2\n"},
        {"printf '%s' \"$((6 * 7))\"", true, "42"},
        {"cat", true, ""},  // stdin is empty, not the test's own
        {"true", true, ""},
        {"echo partial; exit 3", false, "partial\n"},
        {"false", false, ""},
        {"kill -KILL $$", false, ""},
        {"/nonexistent/program 2>/dev/null", false, ""},
        {"echo 'unterminated", false, nullptr},  // shell syntax error, message varies
        // The shell leads a process group of its own: the host's Ctrl-C does not reach it.
        {"set -- $(cat /proc/$$/stat); [ \"$5\" = $$ ]", true, ""},
    };
    for (const Case& c : cases) {
        char out[256];
        memset(out, 'Z', sizeof out);
        int rc = FILE_system(c.cmd, out, sizeof out);
        EXPECT_EQ(rc == 0, c.ok) << c.cmd << " returned " << rc;
        if (!c.ok) {
            EXPECT_LT(rc, 0) << c.cmd;
        }
        ASSERT_NE(memchr(out, '\0', sizeof out), nullptr) << c.cmd;
        if (c.output != nullptr) {
            EXPECT_STREQ(out, c.output) << c.cmd;
        }
    }
}

// Output is cut at outputLen with the terminator counted, and what is cut is still read, so
// a child writing far more than the pipe holds finishes.
TEST(ShellTest, TruncatesExactlyAndDrainsTheRest) {
    for (int len : {1, 2, 5, 11, 12}) {
        std::vector<char> out(static_cast<size_t>(len) + 4, 'Z');
        ASSERT_EQ(FILE_system("printf 0123456789A", out.data(), len), 0) << len;
        EXPECT_EQ(std::string(out.data()), std::string("0123456789A").substr(0, len - 1));
        EXPECT_EQ(out[static_cast<size_t>(len)], 'Z') << "wrote past outputLen " << len;
    }
    char small[16];
    EXPECT_EQ(
        FILE_system("head -c 20000000 /dev/zero | tr '\\0' y; echo done >&2", small, sizeof small),
        0);
    EXPECT_STREQ(small, "yyyyyyyyyyyyyyy");
}

TEST(ShellTest, BadArgumentsAreNegative) {
    char out[8] = "keep";
    EXPECT_LT(FILE_system(nullptr, out, sizeof out), 0);
    EXPECT_LT(FILE_system("echo x", nullptr, 8), 0);
    EXPECT_LT(FILE_system("echo x", out, 0), 0);
    EXPECT_LT(FILE_system("echo x", out, -5), 0);
    EXPECT_STREQ(out, "keep");  // nothing written for a length of 0 or less
}

TEST(ShellTest, ConcurrentCallsKeepTheirOwnOutput) {
    constexpr int kThreads = 6;
    constexpr int kRuns = 15;
    std::vector<std::thread> threads;
    std::vector<int> wrong(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < kRuns; ++i) {
                std::string cmd = "echo " + std::to_string(t) + "-" + std::to_string(i);
                char out[64];
                int rc = FILE_system(cmd.c_str(), out, sizeof out);
                if (rc != 0 || cmd.substr(5) + "\n" != out) {
                    ++wrong[static_cast<size_t>(t)];
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(wrong, std::vector<int>(kThreads, 0));
}

}  // namespace
