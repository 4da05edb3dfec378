// The reference logging sink, writing to a real file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "logsys/log_sys.h"
#include "logsys/log_sys_host.h"

namespace {

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Each test logs to a fresh file only, and puts the sink back as it found it.
class LogSysTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/logsys_test.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        path_ = dir_ + "/host.log";
        ASSERT_EQ(LogSysSetFile(path_.c_str()), 0);
        LogSysSetStderr(false);
    }
    void TearDown() override {
        LogSysSetMinLevel(LEVEL_DEBUG);
        LogSysSetFile(nullptr);
        std::remove(path_.c_str());
        rmdir(dir_.c_str());
    }
    std::string dir_;
    std::string path_;
};

TEST_F(LogSysTest, ConcurrentWritersNeverInterleaveLines) {
    constexpr int kThreads = 6;
    constexpr int kPerThread = 400;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < kPerThread; ++i) {
                // Lengths vary so that torn writes would show as broken lines.
                std::string pad(static_cast<size_t>((i * 37 + t * 11) % 300),
                                static_cast<char>('a' + t));
                log_sendByLevelFile(LOG_CSMS, LEVEL_WARN, "Writer", 1000 + t,
                                    "writer %d message %d %s end", t, i, pad.c_str());
            }
        });
    }
    for (auto& w : writers) {
        w.join();
    }
    const std::regex shape(
        R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z WARN \[CSMS\] Writer:(\d+): writer (\d) )"
        R"(message (\d+) ([a-z]*) end$)");
    std::vector<int> next(kThreads, 0);
    const auto lines = ReadLines(path_);
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kPerThread));
    for (const auto& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
        int t = std::stoi(m[2]);
        EXPECT_EQ(std::stoi(m[1]), 1000 + t);
        EXPECT_EQ(std::stoi(m[3]), next[t]++) << "per-writer order";
        EXPECT_EQ(m[4].length(), static_cast<size_t>((std::stoi(m[3]) * 37 + t * 11) % 300));
    }
}

TEST_F(LogSysTest, MinimumLevelDropsLowerLevels) {
    LogSysSetMinLevel(LEVEL_WARN);
    log_sendByLevelFile(LOG_SYSTEM, LEVEL_DEBUG, "F", 1, "debug");
    log_sendByLevelFile(LOG_SYSTEM, LEVEL_INFO, "F", 2, "info");
    log_sendByLevelFile(LOG_SYSTEM, LEVEL_WARN, "F", 3, "warn");
    log_sendByLevelFile(LOG_SYSTEM, LEVEL_FATAL, "F", 4, "fatal");
    LogSysSetMinLevel(LEVEL_DEBUG);
    log_sendByLevelFile(LOG_SYSTEM, LEVEL_DEBUG, "F", 5, "debug again");
    const auto lines = ReadLines(path_);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find(" WARN [SYSTEM] F:3: warn"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(" FATAL [SYSTEM] F:4: fatal"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find(" DEBUG [SYSTEM] F:5: debug again"), std::string::npos) << lines[2];
}

// An over-long message is cut to one line of the maximum length; embedded line breaks do not
// split a message; the next message starts on a line of its own.
TEST_F(LogSysTest, LongAndMultiLineMessagesStayOneLine) {
    const std::string huge(size_t{3} * LOG_SYS_MAX_LINE, 'x');
    log_sendByLevelFile(LOG_SYSTEM, LEVEL_ERROR, "F", 1, "%s", huge.c_str());
    log_sendByLevelFile(LOG_SYSTEM, LEVEL_INFO, "F", 2, "two\nlines\r");
    log_sendByLevelFile(LOG_SYSTEM, LEVEL_INFO, "F", 3, "after");
    const std::string all = ReadAll(path_);
    const size_t firstEnd = all.find('\n');
    ASSERT_EQ(firstEnd + 1, static_cast<size_t>(LOG_SYS_MAX_LINE));
    EXPECT_EQ(all.compare(firstEnd - 10, 10, std::string(10, 'x')), 0);
    const auto lines = ReadLines(path_);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[1].find("F:2: two lines "), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("F:3: after"), std::string::npos) << lines[2];
}

// The hook sees each message that passes the filter whole and as formatted: before the line
// is cut or its breaks replaced.
TEST_F(LogSysTest, LineHookSeesPassingMessagesAsFormatted) {
    static std::vector<std::string> seen;
    LogSysSetLineHook([](int level, const char* func, const char* text) {
        seen.push_back(std::to_string(level) + " " + func + ": " + text);
    });
    const std::string huge(size_t{2} * LOG_SYS_MAX_LINE, 'x');
    LogSysSetMinLevel(LEVEL_INFO);
    log_sendByLevelFile(LOG_SYSTEM, LEVEL_DEBUG, "F", 1, "filtered");
    log_sendByLevelFile(LOG_SYSTEM, LEVEL_INFO, "F", 2, "[%s]two\nlines\r", "id");
    log_sendByLevelFile(LOG_SYSTEM, LEVEL_ERROR, nullptr, 3, "%s", huge.c_str());
    LogSysSetLineHook(nullptr);
    log_sendByLevelFile(LOG_SYSTEM, LEVEL_ERROR, "F", 4, "after");
    EXPECT_EQ(seen, (std::vector<std::string>{"2 F: [id]two\nlines\r", "5 ?: " + huge}));
    EXPECT_EQ(ReadLines(path_).size(), 3u);
}

TEST_F(LogSysTest, DestinationsSwitch) {
    // A file that cannot be opened keeps the current one (and says so there).
    EXPECT_EQ(LogSysSetFile((dir_ + "/missing/dir/x.log").c_str()), -1);
    log_sendByLevelFile(LOG_SYSTEM, LEVEL_INFO, "F", 1, "still here");
    auto lines = ReadLines(path_);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("cannot open log file"), std::string::npos) << lines[0];

    // Back to stderr only: the file gets nothing more.
    ASSERT_EQ(LogSysSetFile(nullptr), 0);
    ::testing::internal::CaptureStderr();
    log_sendByLevelFile(LOG_SECURITY, LEVEL_NOTICE, "G", 7, "to stderr %d", 42);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(" NOTICE [SECURITY] G:7: to stderr 42\n"), std::string::npos) << err;
    EXPECT_EQ(ReadLines(path_).size(), 2u);

    // Unknown levels and classes, a NULL function or format: still a line, no crash.
    ASSERT_EQ(LogSysSetFile(path_.c_str()), 0);
    LogSysSetStderr(false);
    log_sendByLevelFile(99, static_cast<ZLOG_LEVEL>(42), nullptr, 0, "odd");
    lines = ReadLines(path_);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[2].find(" LEVEL? [CLASS?] ?:0: odd"), std::string::npos) << lines[2];
}

// Only a JOURNAL_STREAM that names stderr itself makes stderr the journal's stream: then its
// lines start with the syslog priority, without the time that the journal keeps. The file
// keeps its stamps.
TEST_F(LogSysTest, StderrThatIsTheJournalGetsPrioritiesInsteadOfTimes) {
    const struct {
        const char* stream;  // JOURNAL_STREAM; "{}": stderr's device and inode; null: unset
        bool journal;
    } kCases[] = {{"{}", true}, {"{}x", false}, {"1:1", false}, {nullptr, false}};
    const std::string stamped =
        R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z ERROR \[SYSTEM\] F:1: e\n)"
        R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z FATAL \[SYSTEM\] F:2: f\n)";
    for (const auto& c : kCases) {
        ::testing::internal::CaptureStderr();
        struct stat st {};
        ASSERT_EQ(fstat(STDERR_FILENO, &st), 0);
        std::string stream = c.stream != nullptr ? c.stream : "";
        if (stream.find("{}") == 0) {
            stream.replace(0, 2, std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino));
        }
        c.stream != nullptr ? setenv("JOURNAL_STREAM", stream.c_str(), 1)
                            : unsetenv("JOURNAL_STREAM");
        LogSysSetStderr(true);  // looks at JOURNAL_STREAM again
        log_sendByLevelFile(LOG_SYSTEM, LEVEL_ERROR, "F", 1, "e");
        log_sendByLevelFile(LOG_SYSTEM, LEVEL_FATAL, "F", 2, "f");
        LogSysSetStderr(false);
        const std::string err = ::testing::internal::GetCapturedStderr();
        if (c.journal) {
            EXPECT_EQ(err, "<3>ERROR [SYSTEM] F:1: e\n<2>FATAL [SYSTEM] F:2: f\n");
        } else {
            EXPECT_TRUE(std::regex_match(err, std::regex(stamped))) << stream << ": " << err;
        }
    }
    unsetenv("JOURNAL_STREAM");
    LogSysSetStderr(true);
    LogSysSetStderr(false);
    EXPECT_TRUE(std::regex_match(ReadAll(path_), std::regex("(" + stamped + "){4}")));
}

}  // namespace
