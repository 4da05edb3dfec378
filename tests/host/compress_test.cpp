// The reference file compressor against real gzip and tar, on real files and a real,
// deliberately tiny tmpfs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fileUtils/file_compress.h"
#include "fileUtils/file_compress_host.h"
#include "tools/loggen/station_log_gen.h"
#include "logsys/log_sys_host.h"

namespace {

constexpr const char* kDate = "2026-12-03";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool Exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

std::set<std::string> Listing(const std::string& dir) {
    std::set<std::string> names;
    const std::string cmd = "ls -A '" + dir + "'";
    FILE* p = ::popen(cmd.c_str(), "r");
    char line[512];
    while (p != nullptr && std::fgets(line, sizeof line, p) != nullptr) {
        line[std::strcspn(line, "\n")] = '\0';
        names.insert(line);
    }
    if (p != nullptr) ::pclose(p);
    return names;
}

int Sh(const std::string& cmd) {
    return std::system(cmd.c_str());
}

FILE_COMPRESS_CONFIG Config(const std::string& path, uint32_t level, uint32_t segment,
                            bool needDelete) {
    FILE_COMPRESS_CONFIG c{};
    std::snprintf(c.file, sizeof c.file, "%s", path.c_str());
    c.compressLevel = level;
    c.segmentSize = segment;
    c.needDelete = needDelete;
    return c;
}

// Every slice as the progress hook saw it: bytes done and the finished flag.
struct Progress {
    std::mutex mu;
    std::vector<std::pair<uint64_t, int>> slices;
};
Progress sProgress;

void RecordProgress(const char*, uint64_t done, uint64_t, int finished) {
    std::lock_guard<std::mutex> lock(sProgress.mu);
    sProgress.slices.emplace_back(done, finished);
}

// Runs a handle to its end; returns the final status and counts the calls.
int RunToEnd(FILE_COMPRESS_HANDLE h, int* calls = nullptr) {
    int ret = FILE_COMPRESS_STATUS_ONGOING;
    int n = 0;
    while (ret == FILE_COMPRESS_STATUS_ONGOING) {
        ret = FileCompress_Run(h, 0);
        ++n;
    }
    if (calls != nullptr) *calls = n;
    return ret;
}

class CompressTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/compress-test.XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        LogSysSetStderr(false);
        std::lock_guard<std::mutex> lock(sProgress.mu);
        sProgress.slices.clear();
    }
    void TearDown() override {
        FileCompressSetProgressHook(nullptr);
        LogSysSetStderr(true);
        Sh("rm -rf '" + dir_ + "'");
    }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    std::string dir_;
};

struct RoundTrip {
    size_t bytes;
    uint32_t level;
    uint32_t segment;
    int minCalls;           // a file larger than a slice takes several calls
    size_t keptBytes = 0;   // content of a .gz already there (made by gzip), kept ahead
    bool leftover = false;  // a temporary of an interrupted run lies in the way
};

TEST_F(CompressTest, RoundTripThroughGzipInBoundedSlices) {
    const RoundTrip cases[] = {
        {6u << 20, 4, 1u << 20, 6},
        {6u << 20, 4, 0, 2},  // default slice
        {300000, 9, 64u << 10, 5},
        {300000, 12, 64u << 10, 5},  // above 9: taken as 9
        {200000, 0, 64u << 10, 4},   // stored
        {1u << 20, 1, 1u << 20, 1},  // exactly one slice
        {0, 4, 0, 1},                // empty file: an empty archive
        {100, 4, 1, 1},              // tiny slices are raised to a sane minimum
        {300000, 9, 64u << 10, 5, 200000},
        {200000, 4, 4096, 2, 2u << 20},  // the kept .gz spans many slices
        {0, 4, 0, 1, 1000},
        {300000, 4, 64u << 10, 5, 0, true},
        {300000, 4, 64u << 10, 5, 1000, true},
    };
    FileCompressSetProgressHook(RecordProgress);
    for (const RoundTrip& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.bytes << " bytes, level " << c.level << ", slice " << c.segment
                     << ", kept " << c.keptBytes << ", leftover " << c.leftover);
        const std::string src = Path(kDate + std::string(".log"));
        ASSERT_TRUE(loggen::GenerateFile(src, c.bytes, c.bytes + c.level));
        const std::string kept = Path("kept");
        if (c.keptBytes > 0) {
            ASSERT_TRUE(loggen::GenerateFile(kept, c.keptBytes, c.keptBytes));
            ASSERT_EQ(Sh("gzip -c '" + kept + "' > '" + src + ".gz' && rm '" + kept + "'"), 0);
        }
        if (c.leftover) std::ofstream(src + FILE_COMPRESS_TEMP_SUFFIX) << "cut short";
        sProgress.slices.clear();
        FILE_COMPRESS_CONFIG cfg = Config(src, c.level, c.segment, false);
        char out[256];
        FILE_COMPRESS_HANDLE h = FileCompress_Start(&cfg, out, sizeof out);
        ASSERT_NE(h, nullptr);
        // The output grows under a name no reader takes for a finished archive.
        EXPECT_EQ(std::string(out), src + FILE_COMPRESS_TEMP_SUFFIX);
        EXPECT_TRUE(Exists(out));
        int calls = 0;
        EXPECT_EQ(RunToEnd(h, &calls), FILE_COMPRESS_STATUS_FINISHED);
        EXPECT_GE(calls, c.minCalls);
        EXPECT_EQ(FileCompress_Run(h, 0), FILE_COMPRESS_STATUS_FINISHED);  // stays finished
        EXPECT_EQ(FileCompress_Stop(h), 0);

        EXPECT_FALSE(Exists(out));
        EXPECT_EQ(Listing(dir_), (std::set<std::string>{"2026-12-03.log", "2026-12-03.log.gz"}));
        EXPECT_EQ(Sh("gzip -t '" + src + ".gz'"), 0);
        // The kept archive's lines come first, then the source's.
        ASSERT_TRUE(loggen::GenerateFile(kept, c.keptBytes, c.keptBytes));
        ASSERT_EQ(Sh("gzip -dc '" + src + ".gz' > '" + Path("back") + "'"), 0);
        EXPECT_TRUE(ReadFile(Path("back")) == ReadFile(kept) + ReadFile(src));

        const size_t slice =
            c.segment == 0 ? FileCompressDefaultSliceBytes() : std::max<size_t>(c.segment, 4096);
        ASSERT_EQ(sProgress.slices.size(), static_cast<size_t>(calls));
        uint64_t prev = 0;
        for (const auto& [done, finished] : sProgress.slices) {
            EXPECT_LE(done - prev, slice);
            prev = done;
        }
        EXPECT_EQ(sProgress.slices.back(), std::make_pair(uint64_t{c.bytes}, 1));
        Sh("rm '" + kept + "' '" + Path("back") + "' '" + src + ".gz'");
    }
}

TEST_F(CompressTest, TarArchiveOfADayUnpacksWithTar) {
    ASSERT_TRUE(loggen::GenerateDay(dir_, kDate, {7, 3u << 20}));
    ASSERT_EQ(Sh("cd '" + dir_ + "' && tar -cf day.tar *.log && mkdir x"), 0);
    FILE_COMPRESS_CONFIG cfg = Config(Path("day.tar"), 4, 256u << 10, true);
    char out[256];
    FILE_COMPRESS_HANDLE h = FileCompress_Start(&cfg, out, sizeof out);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(RunToEnd(h), FILE_COMPRESS_STATUS_FINISHED);
    FileCompress_Stop(h);
    EXPECT_FALSE(Exists(Path("day.tar")));
    ASSERT_EQ(Sh("tar -xzf '" + Path("day.tar.gz") + "' -C '" + Path("x") + "'"), 0);
    for (const std::string& name : loggen::DayFileNames(kDate)) {
        EXPECT_EQ(Sh("cmp -s '" + Path(name) + "' '" + Path("x/" + name) + "'"), 0) << name;
    }
}

TEST_F(CompressTest, SourceIsDeletedOnlyOnceItsArchiveIsInPlace) {
    for (bool needDelete : {true, false}) {
        SCOPED_TRACE(needDelete);
        const std::string src = Path("a.log");
        ASSERT_TRUE(loggen::GenerateFile(src, 1u << 20, 3));
        FILE_COMPRESS_CONFIG cfg = Config(src, 4, 64u << 10, needDelete);
        char out[256];
        FILE_COMPRESS_HANDLE h = FileCompress_Start(&cfg, out, sizeof out);
        ASSERT_NE(h, nullptr);
        int ret;
        while ((ret = FileCompress_Run(h, 0)) == FILE_COMPRESS_STATUS_ONGOING) {
            ASSERT_TRUE(Exists(src));
            ASSERT_FALSE(Exists(src + ".gz"));
        }
        EXPECT_EQ(ret, FILE_COMPRESS_STATUS_FINISHED);
        EXPECT_EQ(Exists(src), !needDelete);
        EXPECT_TRUE(Exists(src + ".gz"));
        FileCompress_Stop(h);
        Sh("rm -f '" + dir_ + "'/*");
    }
}

TEST_F(CompressTest, StopBeforeTheEndLeavesNothingAndSparesAnOlderArchive) {
    const std::string src = Path("b.log");
    ASSERT_TRUE(loggen::GenerateFile(src, 1u << 20, 5));
    std::ofstream(src + ".gz") << "older archive";
    for (int runs : {0, 1, 3}) {
        SCOPED_TRACE(runs);
        FILE_COMPRESS_CONFIG cfg = Config(src, 4, 64u << 10, true);
        char out[256];
        FILE_COMPRESS_HANDLE h = FileCompress_Start(&cfg, out, sizeof out);
        ASSERT_NE(h, nullptr);
        for (int i = 0; i < runs; ++i)
            EXPECT_EQ(FileCompress_Run(h, 0), FILE_COMPRESS_STATUS_ONGOING);
        EXPECT_EQ(FileCompress_Stop(h), 0);
        EXPECT_EQ(Listing(dir_), (std::set<std::string>{"b.log", "b.log.gz"}));
        EXPECT_EQ(ReadFile(src + ".gz"), "older archive");
    }
    EXPECT_EQ(FileCompress_Run(nullptr, 0), FILE_COMPRESS_STATUS_FAILED);
    EXPECT_EQ(FileCompress_Stop(nullptr), -1);
}

TEST_F(CompressTest, SourceRemovedMidwayIsStillCompressedWhole) {
    const std::string src = Path("c.log");
    ASSERT_TRUE(loggen::GenerateFile(src, 2u << 20, 9));
    const std::string original = ReadFile(src);
    FILE_COMPRESS_CONFIG cfg = Config(src, 4, 256u << 10, true);
    char out[256];
    FILE_COMPRESS_HANDLE h = FileCompress_Start(&cfg, out, sizeof out);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(FileCompress_Run(h, 0), FILE_COMPRESS_STATUS_ONGOING);
    ASSERT_EQ(::unlink(src.c_str()), 0);
    EXPECT_EQ(RunToEnd(h), FILE_COMPRESS_STATUS_FINISHED);
    FileCompress_Stop(h);
    ASSERT_EQ(Sh("gzip -dc '" + src + ".gz' > '" + Path("back") + "'"), 0);
    EXPECT_TRUE(ReadFile(Path("back")) == original);
}

TEST_F(CompressTest, StartRefusesWhatItCannotCompressAndCreatesNothing) {
    ASSERT_EQ(::mkfifo(Path("fifo.log").c_str(), 0644), 0);
    ASSERT_EQ(::mkdir(Path("dir.log").c_str(), 0755), 0);
    for (const char* name : {"ok.log", "gzlink.log", "gzdir.log", "tmplink.log", "held.log"})
        ASSERT_TRUE(loggen::GenerateFile(Path(name), 1000, 1));
    ASSERT_EQ(::symlink(Path("ok.log").c_str(), Path("link.log").c_str()), 0);
    ASSERT_EQ(::symlink(Path("ok.log").c_str(), Path("gzlink.log.gz").c_str()), 0);
    ASSERT_EQ(::mkdir(Path("gzdir.log.gz").c_str(), 0755), 0);
    ASSERT_EQ(::symlink(Path("ok.log").c_str(), Path("tmplink.log~gz").c_str()), 0);
    // The longest name accepted: its output path takes 255 characters.
    const std::string longest = Path(std::string(255 - dir_.size() - 8, 'n') + ".log");
    ASSERT_TRUE(loggen::GenerateFile(longest, 1000, 2));
    FILE_COMPRESS_CONFIG cfg = Config(Path("held.log"), 4, 0, false);
    char out[256];
    FILE_COMPRESS_HANDLE holder = FileCompress_Start(&cfg, out, sizeof out);
    ASSERT_NE(holder, nullptr);
    const std::set<std::string> before = Listing(dir_);
    struct Case {
        std::string file;
        uint16_t outLen;
    } cases[] = {
        {Path("missing.log"), 256},
        {Path("fifo.log"), 256},     // would block a reader, and is no file to compress
        {Path("dir.log"), 256},      // opens for root, yet is not a file
        {Path("link.log"), 256},     // a link named like a log brings nothing in
        {Path("gzlink.log"), 256},   // an output name that is no regular file is left alone
        {Path("gzdir.log"), 256},    //
        {Path("tmplink.log"), 256},  // so is a temporary's name
        {Path("held.log"), 256},     // another compression is writing it
        {"", 256},
        {longest, 255},  // no room for the terminator
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file + " / " + std::to_string(c.outLen));
        cfg = Config(c.file, 4, 0, true);
        std::strcpy(out, "untouched");
        EXPECT_EQ(FileCompress_Start(&cfg, out, c.outLen), nullptr);
        EXPECT_STREQ(out, "untouched");
        EXPECT_EQ(Listing(dir_), before);
    }
    EXPECT_EQ(FileCompress_Start(nullptr, out, sizeof out), nullptr);
    EXPECT_EQ(FileCompress_Start(&cfg, nullptr, sizeof out), nullptr);
    std::memset(cfg.file, 'x', sizeof cfg.file);  // no terminator
    EXPECT_EQ(FileCompress_Start(&cfg, out, sizeof out), nullptr);
    FileCompress_Stop(holder);
    cfg = Config(longest, 4, 0, false);
    FILE_COMPRESS_HANDLE h = FileCompress_Start(&cfg, out, sizeof out);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(std::strlen(out), 255u);
    EXPECT_EQ(RunToEnd(h), FILE_COMPRESS_STATUS_FINISHED);
    FileCompress_Stop(h);
    EXPECT_EQ(Sh("gzip -t '" + longest + ".gz'"), 0);
}

// Between Start and the end, an archive appears under the output's name, or the kept one is
// replaced: neither is replaced in turn, and the compression fails.
TEST_F(CompressTest, AnArchiveChangedMeanwhileIsNotReplaced) {
    const std::string src = Path("e.log");
    ASSERT_TRUE(loggen::GenerateFile(src, 1u << 20, 4));
    for (bool keptOne : {false, true}) {
        SCOPED_TRACE(keptOne);
        if (keptOne) std::ofstream(src + ".gz") << "kept archive";
        FILE_COMPRESS_CONFIG cfg = Config(src, 4, 256u << 10, true);
        char out[256];
        FILE_COMPRESS_HANDLE h = FileCompress_Start(&cfg, out, sizeof out);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(FileCompress_Run(h, 0), FILE_COMPRESS_STATUS_ONGOING);
        ASSERT_EQ(Sh("echo newer archive > '" + src + ".gz.new' && mv '" + src + ".gz.new' '" +
                     src + ".gz'"),
                  0);
        EXPECT_EQ(RunToEnd(h), FILE_COMPRESS_STATUS_FAILED);
        FileCompress_Stop(h);
        EXPECT_EQ(Listing(dir_), (std::set<std::string>{"e.log", "e.log.gz"}));
        EXPECT_EQ(ReadFile(src + ".gz"), "newer archive\n");
        ::unlink((src + ".gz").c_str());
    }
}

TEST_F(CompressTest, HandlesOnSeveralThreadsAreIndependent) {
    FileCompressSetProgressHook(RecordProgress);
    std::vector<std::thread> threads;
    int results[3] = {-1, -1, -1};
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([this, i, &results] {
            const std::string src = Path("t" + std::to_string(i) + ".log");
            if (!loggen::GenerateFile(src, 1u << 20, static_cast<uint64_t>(i))) return;
            FILE_COMPRESS_CONFIG cfg = Config(src, 4, 128u << 10, false);
            char out[256];
            FILE_COMPRESS_HANDLE h = FileCompress_Start(&cfg, out, sizeof out);
            if (h == nullptr) return;
            results[i] = RunToEnd(h);
            FileCompress_Stop(h);
        });
    }
    for (std::thread& t : threads) t.join();
    for (int i = 0; i < 3; ++i) {
        const std::string src = Path("t" + std::to_string(i) + ".log");
        EXPECT_EQ(results[i], FILE_COMPRESS_STATUS_FINISHED);
        EXPECT_EQ(Sh("gzip -dc '" + src + ".gz' | cmp -s - '" + src + "'"), 0) << src;
    }
}

// Runs `body` in a child process with its own mount namespace and a tmpfs of `kib` KiB on
// `dir`; the child's verdict (empty when all is well) comes back through a pipe. Returns
// false when mounting is not permitted here.
bool InPrivateTmpfs(const std::string& dir, int kib, const std::function<std::string()>& body,
                    std::string* verdict) {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const std::string opts = "size=" + std::to_string(kib) + "k";
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("none", dir.c_str(), "tmpfs", 0, opts.c_str()) != 0) {
            ::_exit(77);
        }
        const std::string text = body();
        (void)!::write(fds[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    char buf[1024];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) verdict->append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return !(WIFEXITED(status) && WEXITSTATUS(status) == 77);
}

std::string Expect(bool ok, const char* what) {
    return ok ? "" : std::string(what) + "; ";
}

TEST_F(CompressTest, FullDiskFailsTheSliceAndKeepsSourceAndOlderArchive) {
    const std::string mnt = Path("small");
    ASSERT_EQ(::mkdir(mnt.c_str(), 0755), 0);
    std::string verdict;
    const bool mounted = InPrivateTmpfs(
        mnt, 1024,
        [&] {
            // Random bytes do not compress: their archive cannot fit next to them.
            const std::string src = mnt + "/d.log";
            std::string e;
            e += Expect(Sh("head -c 600000 /dev/urandom > '" + src + "'") == 0, "source");
            std::ofstream(src + ".gz") << "older archive";
            FILE_COMPRESS_CONFIG cfg = Config(src, 4, 64u << 10, true);
            char out[256];
            FILE_COMPRESS_HANDLE h = FileCompress_Start(&cfg, out, sizeof out);
            if (h == nullptr) return e + "start failed";
            e += Expect(RunToEnd(h) == FILE_COMPRESS_STATUS_FAILED, "slice did not fail");
            e += Expect(FileCompress_Run(h, 0) == FILE_COMPRESS_STATUS_FAILED, "failure not kept");
            FileCompress_Stop(h);
            e += Expect(Listing(mnt) == std::set<std::string>{"d.log", "d.log.gz"}, "leftovers");
            e += Expect(ReadFile(src + ".gz") == "older archive", "older archive damaged");
            // A file system that takes no new file: Start fails and creates nothing.
            e +=
                Expect(::mount(nullptr, mnt.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0,
                       "remount");
            e += Expect(FileCompress_Start(&cfg, out, sizeof out) == nullptr, "start on read-only");
            return e;
        },
        &verdict);
    if (!mounted) GTEST_SKIP() << "mounting a tmpfs in a private mount namespace is not permitted";
    EXPECT_EQ(verdict, "");
}

}  // namespace
