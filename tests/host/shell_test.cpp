// The reference shell runner with a real /bin/sh.
#include <gtest/gtest.h>

#include "fileUtils/file_utils.h"
#include "tests/support/files.h"

namespace {

TEST(ShellTest, StatusAndCapturedOutput) {
    const struct {
        const char* cmd;
        int outputLen;
        bool ok;
        const char* output;  // null: not checked
    } cases[] = {
        {"echo out; echo err >&2; echo out2", 256, true, "out\nerr\nout2\n"},
        {"cat", 256, true, ""},  // stdin is empty, not the test's own
        {"echo partial; exit 3", 256, false, "partial\n"},
        {"kill -KILL $$", 256, false, ""},
        {"echo 'unterminated", 256, false, nullptr},
        // The shell leads a process group of its own: the host's Ctrl-C does not reach it.
        {"set -- $(cat /proc/$$/stat); [ \"$5\" = $$ ]", 256, true, ""},
        // Cut at outputLen, the terminator counted; the rest is read, so the child finishes.
        {"printf 0123456789A", 1, true, ""},
        {"printf 0123456789A", 5, true, "0123"},
        {"printf 0123456789A", 12, true, "0123456789A"},
        {"head -c 20000000 /dev/zero | tr '\\0' y; echo done >&2", 4, true, "yyy"},
        {nullptr, 256, false, nullptr},
        {"echo x", 0, false, nullptr},
        {"echo x", -5, false, nullptr},
    };
    for (const auto& c : cases) {
        const std::string cmd = c.cmd != nullptr ? c.cmd : "(null)";
        char out[300];
        memset(out, 'Z', sizeof out);
        const int rc = FILE_system(c.cmd, out, c.outputLen);
        EXPECT_EQ(rc, c.ok ? 0 : -1) << cmd;
        EXPECT_STREQ(c.output != nullptr ? out : nullptr, c.output) << cmd;
        EXPECT_EQ(out[std::max(c.outputLen, 0)], 'Z') << cmd << ": wrote past outputLen";
    }
    EXPECT_LT(FILE_system("echo x", nullptr, 8), 0);
}

TEST(ShellTest, ConcurrentCallsKeepTheirOwnOutput) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < 15; ++i) {
                const std::string text = std::to_string(t * 100 + i);
                char out[64];
                wrong += FILE_system(("echo " + text).c_str(), out, sizeof out) != 0 ||
                         text + "\n" != out;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
