// The reference logging sink, writing to a real file.
#include <gtest/gtest.h>

#include <regex>

#include "logsys/log_sys.h"
#include "logsys/log_sys_host.h"
#include "tests/support/private_tmpfs.h"

namespace {

using Strings = std::vector<std::string>;

// The text with its leading time stamp, checked for its shape, replaced by "T".
std::string Unstamp(const std::string& text) {
    static const std::regex stamp(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z )");
    return std::regex_replace(text, stamp, "T ");
}

class LogSysTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(LogSysSetFile(file_.c_str()), 0);
        LogSysSetStderr(false);
    }
    void TearDown() override { LogSysSetFile(nullptr); }
    Strings Lines() const {
        std::ifstream in(file_);
        Strings lines;
        for (std::string line; std::getline(in, line);) lines.push_back(Unstamp(line));
        return lines;
    }
    hosttest::TempDir dir_;
    const std::string file_ = dir_ / "host.log";
};

// Lengths vary so that torn writes would show as broken lines.
TEST_F(LogSysTest, ConcurrentWritersNeverInterleaveLines) {
    const auto text = [](int t, int i) {
        return std::to_string(i) + " " + std::string(size_t(i * 37 + t * 11) % 300, 'a' + t);
    };
    hosttest::OnThreads(6, [&](int t) {
        for (int i = 0; i < 400; ++i)
            log_sendByLevelFile(LOG_CSMS, LEVEL_WARN, "W", t, "%s", text(t, i).c_str());
    });
    std::vector<int> next(6, 0);
    for (const auto& line : Lines()) {
        const size_t t = line.size() > 16 ? line[16] - '0' : 6;  // the writer; at() throws on 6
        EXPECT_EQ(line, "T WARN [CSMS] W:" + std::to_string(t) + ": " + text(t, next.at(t)++));
    }
    EXPECT_EQ(next, std::vector<int>(6, 400));
}

// The hook sees each message that passes the level filter whole and as formatted; the file
// gets it as one line, its breaks replaced and cut at the maximum length. A file that cannot be
// opened keeps the current one; none means stderr only. Under systemd, a stderr that
// JOURNAL_STREAM names gets the syslog priority in the place of the time (the journal keeps its
// own); any other stderr and the file keep the stamps.
TEST_F(LogSysTest, OneLinePerPassingMessageStampedOrWithItsPriorityForTheJournal) {
    EXPECT_EQ(LogSysSetFile((dir_ / "missing/x.log").c_str()), -1);
    static Strings seen;
    LogSysSetLineHook([](int level, const char* func, const char* text) {
        seen.push_back(std::to_string(level) + " " + func + ": " + text);
    });
    const std::string huge(size_t{3} * LOG_SYS_MAX_LINE, 'x');
    LogSysSetMinLevel(LEVEL_INFO);
    log_sendByLevelFile(LOG_SYSTEM, LEVEL_DEBUG, "F", 1, "filtered");
    log_sendByLevelFile(LOG_SYSTEM, LEVEL_INFO, "F", 2, "[%s]two\nlines\r", "id");
    log_sendByLevelFile(LOG_SYSTEM, LEVEL_ERROR, nullptr, 3, "%s", huge.c_str());
    LogSysSetLineHook(nullptr);
    log_sendByLevelFile(99, static_cast<ZLOG_LEVEL>(42), "F", 4, "odd");
    EXPECT_TRUE(seen == (Strings{"2 F: [id]two\nlines\r", "5 ?: " + huge}));
    struct stat st {};
    ASSERT_EQ(fstat(STDERR_FILENO, &st), 0);
    const std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    const std::string line = "ERROR [SECURITY] F:1: e", stamped = "T " + line + "\n";
    // JOURNAL_STREAM as set (or not); a new file, then none, leave stderr as it was.
    const std::array<std::string, 3> cases[] = {{stream, "", "<3>" + line + "\n"},
                                                {stream + "x", "", stamped},
                                                {stream + "1", "", stamped},
                                                {"", file_, ""},
                                                {"", "none", stamped}};
    for (const auto& [journal, file, expected] : cases) {
        setenv("JOURNAL_STREAM", journal.c_str(), 1);
        LogSysSetStderr(file.empty());  // looks at JOURNAL_STREAM again
        ASSERT_TRUE(file.empty() || LogSysSetFile(file == "none" ? nullptr : file.c_str()) == 0);
        ::testing::internal::CaptureStderr();
        log_sendByLevelFile(LOG_SECURITY, LEVEL_ERROR, "F", 1, "e");
        EXPECT_EQ(Unstamp(::testing::internal::GetCapturedStderr()), expected) << journal << file;
    }
    unsetenv("JOURNAL_STREAM");
    // The failed open's complaint first; the cut line, its stamp (25 bytes) and its prefix (20)
    // included, fills the maximum.
    const Strings lines = Lines();
    EXPECT_EQ(Strings(lines.begin() + !lines.empty(), lines.end()),
              (Strings{"T INFO [SYSTEM] F:2: [id]two lines ",
                       "T ERROR [SYSTEM] ?:3: " + huge.substr(0, LOG_SYS_MAX_LINE - 46),
                       "T LEVEL? [CLASS?] F:4: odd", "T " + line, "T " + line, "T " + line,
                       "T " + line}));
}

}  // namespace
