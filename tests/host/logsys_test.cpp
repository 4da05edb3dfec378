// The reference logging sink, writing to a real file.
#include <gtest/gtest.h>

#include <regex>

#include "logsys/log_sys.h"
#include "logsys/log_sys_host.h"
#include "tests/support/files.h"

namespace {

const std::string kStamp = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z )";

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool Matches(const std::string& text, const std::string& re) {
    return std::regex_match(text, std::regex(re));
}

class LogSysTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/logsys_test.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        ASSERT_EQ(LogSysSetFile((dir_ + "/host.log").c_str()), 0);
        LogSysSetStderr(false);
    }
    void TearDown() override {
        LogSysSetFile(nullptr);
        rel::Shell("rm -rf " + dir_);
    }
    std::vector<std::string> Lines() const { return ReadLines(dir_ + "/host.log"); }
    std::string dir_;
};

// Lengths vary so that torn writes would show as broken lines.
TEST_F(LogSysTest, ConcurrentWritersNeverInterleaveLines) {
    std::vector<std::thread> writers;
    for (int t = 0; t < 6; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < 400; ++i)
                log_sendByLevelFile(LOG_CSMS, LEVEL_WARN, "W", t, "%d %s end", i,
                                    std::string(size_t(i * 37 + t * 11) % 300, 'a' + t).c_str());
        });
    }
    for (auto& w : writers) w.join();
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 6u * 400);
    const std::regex shape(kStamp + R"(WARN \[CSMS\] W:(\d): (\d+) ([a-z]*) end)");
    std::vector<int> next(6, 0);
    for (const auto& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
        const int t = std::stoi(m[1]), i = std::stoi(m[2]);
        EXPECT_EQ(i, next[t]++) << "per-writer order";
        EXPECT_EQ(m[3].length(), size_t(i * 37 + t * 11) % 300);
    }
}

// The hook sees each message that passes the level filter whole and as formatted; the file
// gets it as one line, its breaks replaced and cut at the maximum length.
TEST_F(LogSysTest, OneLinePerPassingMessageAndTheHookSeesItAsFormatted) {
    static std::vector<std::string> seen;
    LogSysSetLineHook([](int level, const char* func, const char* text) {
        seen.push_back(std::to_string(level) + " " + func + ": " + text);
    });
    const std::string huge(size_t{3} * LOG_SYS_MAX_LINE, 'x');
    LogSysSetMinLevel(LEVEL_INFO);
    log_sendByLevelFile(LOG_SYSTEM, LEVEL_DEBUG, "F", 1, "filtered");
    log_sendByLevelFile(LOG_SYSTEM, LEVEL_INFO, "F", 2, "[%s]two\nlines\r", "id");
    log_sendByLevelFile(LOG_SYSTEM, LEVEL_ERROR, nullptr, 3, "%s", huge.c_str());
    LogSysSetLineHook(nullptr);
    LogSysSetMinLevel(LEVEL_DEBUG);
    log_sendByLevelFile(99, static_cast<ZLOG_LEVEL>(42), "F", 4, "odd");
    EXPECT_TRUE(seen == (std::vector<std::string>{"2 F: [id]two\nlines\r", "5 ?: " + huge}));
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(Matches(lines[0], kStamp + R"(INFO \[SYSTEM\] F:2: \[id\]two lines )")) << lines[0];
    EXPECT_TRUE(Matches(lines[1].substr(0, 50), kStamp + R"(ERROR \[SYSTEM\] \?:3: x+)"));
    EXPECT_EQ(lines[1].back(), 'x');
    EXPECT_EQ(lines[1].size() + 1, size_t{LOG_SYS_MAX_LINE});
    EXPECT_TRUE(Matches(lines[2], kStamp + R"(LEVEL\? \[CLASS\?\] F:4: odd)")) << lines[2];
}

// A file that cannot be opened keeps the current one; none means stderr only. Under systemd, a
// stderr that JOURNAL_STREAM names gets the syslog priority in the place of the time (the journal
// keeps its own); any other stderr and the file keep the stamps.
TEST_F(LogSysTest, StderrThatIsTheJournalGetsPrioritiesInsteadOfTimes) {
    EXPECT_EQ(LogSysSetFile((dir_ + "/missing/x.log").c_str()), -1);
    struct stat st {};
    ASSERT_EQ(fstat(STDERR_FILENO, &st), 0);
    const std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    const std::string stamped = kStamp + R"(ERROR \[SECURITY\] F:1: e\n)";
    // JOURNAL_STREAM as set (or not); a new file, then none, leave stderr as it was.
    for (const auto& [journal, file, expected] :
         std::vector<std::array<std::string, 3>>{{stream, "", "<3>ERROR \\[SECURITY\\] F:1: e\\n"},
                                                 {stream + "x", "", stamped},
                                                 {stream + "1", "", stamped},
                                                 {"", dir_ + "/host.log", ""},
                                                 {"", "none", stamped}}) {
        setenv("JOURNAL_STREAM", journal.c_str(), 1);
        LogSysSetStderr(file.empty());  // looks at JOURNAL_STREAM again
        ASSERT_TRUE(file.empty() || LogSysSetFile(file == "none" ? nullptr : file.c_str()) == 0);
        ::testing::internal::CaptureStderr();
        log_sendByLevelFile(LOG_SECURITY, LEVEL_ERROR, "F", 1, "e");
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_TRUE(Matches(err, expected)) << journal << " " << file << ": " << err;
    }
    unsetenv("JOURNAL_STREAM");
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_NE(lines[0].find("cannot open log file"), std::string::npos);
    EXPECT_TRUE(Matches(lines[1], kStamp + R"(ERROR \[SECURITY\] F:1: e)")) << lines[1];
}

}  // namespace
