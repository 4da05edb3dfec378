// The reference shell runner with a real /bin/sh.
#include <gtest/gtest.h>

#include "fileUtils/file_utils.h"
#include "tests/support/files.h"

namespace {

TEST(ShellTest, StatusAndCapturedOutput) {
    // Command, outputLen, whether it succeeds, the output (null: not checked). Stderr is
    // captured too; stdin is empty, not the test's own (cat). The shell leads a process group of
    // its own (the set line): the host's Ctrl-C does not reach it. The output is cut at
    // outputLen, the terminator counted; the rest is read, so the child finishes.
    const std::tuple<const char*, int, bool, const char*> cases[] = {
        {"echo out; echo err >&2; echo out2", 256, true, "out\nerr\nout2\n"},
        {"cat", 256, true, ""},
        {"echo partial; exit 3", 256, false, "partial\n"},
        {"kill -KILL $$", 256, false, ""},
        {"set -- $(cat /proc/$$/stat); [ \"$5\" = $$ ]", 256, true, ""},
        {"printf 0123456789A", 1, true, ""},
        {"printf 0123456789A", 12, true, "0123456789A"},
        {"head -c 20000000 /dev/zero | tr '\\0' y; echo done >&2", 4, true, "yyy"},
        {nullptr, 256, false, nullptr},
        {"echo x", 0, false, nullptr},
        {"echo x", -5, false, nullptr}};
    for (const auto& [cmd, outputLen, ok, output] : cases) {
        SCOPED_TRACE(cmd != nullptr ? cmd : "(null)");
        std::string out(300, 'Z');
        EXPECT_EQ(FILE_system(cmd, out.data(), outputLen), ok ? 0 : -1);
        EXPECT_STREQ(output != nullptr ? out.c_str() : nullptr, output);
        EXPECT_EQ(out[std::max(outputLen, 0)], 'Z') << "wrote past outputLen";
    }
    EXPECT_LT(FILE_system("echo x", nullptr, 8), 0);
}

}  // namespace
