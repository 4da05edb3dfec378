// The reference file compressor on real files, read back with real gzip.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include "fileUtils/file_compress.h"
#include "fileUtils/file_compress_host.h"
#include "tests/support/private_tmpfs.h"
#include "tools/loggen/station_log_gen.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::set<std::string> Listing(const std::string& dir) {
    std::set<std::string> names;
    DIR* d = opendir(dir.c_str());
    for (const dirent* e; d != nullptr && (e = readdir(d)) != nullptr;)
        if (e->d_name[0] != '.') names.insert(e->d_name);
    if (d != nullptr) closedir(d);
    return names;
}

int Sh(const std::string& cmd) {
    return std::system(cmd.c_str());
}

FILE_COMPRESS_HANDLE Start(const std::string& path, uint32_t level, uint32_t segment,
                           bool needDelete, char (&out)[256], uint16_t outLen = 256) {
    FILE_COMPRESS_CONFIG c{};
    std::snprintf(c.file, sizeof c.file, "%s", path.c_str());
    c.compressLevel = level;
    c.segmentSize = segment;
    c.needDelete = needDelete;
    return FileCompress_Start(&c, out, outLen);
}

int RunToEnd(FILE_COMPRESS_HANDLE h) {
    int ret = FILE_COMPRESS_STATUS_ONGOING;
    while (ret == FILE_COMPRESS_STATUS_ONGOING) ret = FileCompress_Run(h, 0);
    return ret;
}

int sSlices = 0;                      // progress hook calls, one per slice
std::pair<uint64_t, int> sLastSlice;  // bytes done and finished, as the hook saw them last

void RecordSlice(const char*, uint64_t done, uint64_t, int finished) {
    ++sSlices;
    sLastSlice = {done, finished};
}

class CompressTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/compress-test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { Sh("rm -rf '" + dir_ + "'"); }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    std::string dir_;
    char out_[256] = {};
};

// Each slice reads at most the slice size of the source. An archive already there keeps its
// bytes ahead of the new ones; a temporary nobody holds is a leftover and is replaced; the
// final name appears, and the source goes, only once the archive is complete.
TEST_F(CompressTest, RoundTripThroughGzipInBoundedSlices) {
    const struct {
        size_t bytes;
        uint32_t level, segment;
        int calls;  // 0: not checked
        size_t keptBytes;
        bool leftover, needDelete;
    } cases[] = {
        {6u << 20, 4, 1u << 20, 7, 0, false, true},
        {6u << 20, 4, 0, 3, 0, false, false},        // the default slice
        {300000, 12, 64u << 10, 5, 0, true, true},   // above 9: taken as 9
        {200000, 0, 64u << 10, 4, 0, false, false},  // stored
        {1u << 20, 1, 1u << 20, 2, 0, false, true},
        {0, 4, 0, 1, 0, false, true},     // an empty archive
        {100, 4, 1, 1, 0, false, false},  // tiny slices are raised to a minimum
        {300000, 9, 64u << 10, 0, 200000, false, true},
        {200000, 4, 4096, 0, 2u << 20, true, false},  // the kept .gz spans many slices
        {0, 4, 0, 0, 1000, false, true},
    };
    FileCompressSetProgressHook(RecordSlice);
    const std::string src = Path("2026-12-03.log"), gz = src + ".gz";
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.bytes << " bytes, level " << c.level << ", slice "
                                          << c.segment << ", kept " << c.keptBytes);
        ASSERT_TRUE(loggen::GenerateFile(Path("kept"), c.keptBytes, 7));
        ASSERT_TRUE(loggen::GenerateFile(src, c.bytes, 3));
        const std::string expected = ReadFile(Path("kept")) + ReadFile(src);
        ASSERT_EQ(c.keptBytes > 0 ? Sh("gzip -c '" + Path("kept") + "' > '" + gz + "'") : 0, 0);
        if (c.leftover) std::ofstream(src + FILE_COMPRESS_TEMP_SUFFIX) << "cut short";
        FILE_COMPRESS_HANDLE h = Start(src, c.level, c.segment, c.needDelete, out_);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(std::string(out_), src + FILE_COMPRESS_TEMP_SUFFIX);
        int ret = FILE_COMPRESS_STATUS_ONGOING, calls = sSlices = 0;
        for (; ret == FILE_COMPRESS_STATUS_ONGOING; ++calls) {
            ASSERT_TRUE(Exists(src));
            ASSERT_EQ(Exists(gz), c.keptBytes > 0);
            ret = FileCompress_Run(h, 0);
        }
        EXPECT_EQ(ret, FILE_COMPRESS_STATUS_FINISHED);
        EXPECT_TRUE(c.calls == 0 || calls == c.calls) << calls;
        EXPECT_EQ(sSlices, calls);
        EXPECT_EQ(sLastSlice, std::make_pair(uint64_t{c.bytes}, 1));
        EXPECT_EQ(FileCompress_Run(h, 0), FILE_COMPRESS_STATUS_FINISHED);
        EXPECT_EQ(FileCompress_Stop(h), 0);
        EXPECT_EQ(Exists(src), !c.needDelete);
        EXPECT_FALSE(Exists(out_));
        ASSERT_EQ(Sh("gzip -t '" + gz + "' && gzip -dc '" + gz + "' > '" + Path("back") + "'"), 0);
        EXPECT_TRUE(ReadFile(Path("back")) == expected);
        Sh("rm -f '" + dir_ + "'/*");
    }
}

// Stopped before its end, or overtaken by an archive that appears under the output's name or
// replaces the kept one: the run leaves the source and that archive as they are.
TEST_F(CompressTest, AStoppedOrOvertakenRunLeavesSourceAndArchiveAlone) {
    const std::string src = Path("b.log"), gz = src + ".gz";
    ASSERT_TRUE(loggen::GenerateFile(src, 1u << 20, 5));
    const struct {
        bool kept;
        int runs;
        bool overtaken;
    } cases[] = {
        {true, 0, false}, {true, 1, false}, {true, 3, false}, {false, 1, true}, {true, 1, true}};
    for (const auto& c : cases) {
        unlink(gz.c_str());
        if (c.kept) std::ofstream(gz) << "older archive";
        FILE_COMPRESS_HANDLE h = Start(src, 4, 64u << 10, true, out_);
        ASSERT_NE(h, nullptr);
        for (int i = 0; i < c.runs; ++i)
            EXPECT_EQ(FileCompress_Run(h, 0), FILE_COMPRESS_STATUS_ONGOING);
        if (c.overtaken) {
            ASSERT_EQ(Sh("echo newer > '" + gz + ".new' && mv '" + gz + ".new' '" + gz + "'"), 0);
            EXPECT_EQ(RunToEnd(h), FILE_COMPRESS_STATUS_FAILED);
        }
        EXPECT_EQ(FileCompress_Stop(h), 0);
        EXPECT_EQ(Listing(dir_), (std::set<std::string>{"b.log", "b.log.gz"})) << c.runs;
        EXPECT_EQ(ReadFile(gz), c.overtaken ? "newer\n" : "older archive");
    }
    EXPECT_EQ(FileCompress_Run(nullptr, 0), FILE_COMPRESS_STATUS_FAILED);
    EXPECT_EQ(FileCompress_Stop(nullptr), -1);
}

// The file read is compressed whole; a new file the station wrote under its name stays.
TEST_F(CompressTest, SourceReplacedMidwayIsCompressedWholeAndTheNewOneKept) {
    const std::string src = Path("c.log");
    ASSERT_TRUE(loggen::GenerateFile(src, 2u << 20, 9));
    const std::string original = ReadFile(src);
    FILE_COMPRESS_HANDLE h = Start(src, 4, 256u << 10, true, out_);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(FileCompress_Run(h, 0), FILE_COMPRESS_STATUS_ONGOING);
    ASSERT_EQ(unlink(src.c_str()), 0);
    std::ofstream(src) << "new line\n";
    EXPECT_EQ(RunToEnd(h), FILE_COMPRESS_STATUS_FINISHED);
    FileCompress_Stop(h);
    ASSERT_EQ(Sh("gzip -dc '" + src + ".gz' > '" + Path("back") + "'"), 0);
    EXPECT_TRUE(ReadFile(Path("back")) == original);
    EXPECT_EQ(ReadFile(src), "new line\n");
}

TEST_F(CompressTest, StartRefusesWhatItCannotCompressAndCreatesNothing) {
    ASSERT_EQ(mkfifo(Path("fifo.log").c_str(), 0644), 0);
    ASSERT_EQ(mkdir(Path("dir.log").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(Path("gzdir.log.gz").c_str(), 0755), 0);
    for (const char* name : {"ok.log", "gzlink.log", "gzdir.log", "tmplink.log", "held.log"})
        ASSERT_TRUE(loggen::GenerateFile(Path(name), 1000, 1));
    for (const char* name : {"link.log", "gzlink.log.gz", "tmplink.log~gz"})
        ASSERT_EQ(symlink(Path("ok.log").c_str(), Path(name).c_str()), 0);
    // The longest name accepted: its output path takes 255 characters.
    const std::string longest = Path(std::string(255 - dir_.size() - 8, 'n') + ".log");
    ASSERT_TRUE(loggen::GenerateFile(longest, 1000, 2));
    FILE_COMPRESS_HANDLE holder = Start(Path("held.log"), 4, 0, false, out_);
    ASSERT_NE(holder, nullptr);
    const std::set<std::string> before = Listing(dir_);
    // A link, anything but a regular file, an output or temporary name taken by anything but
    // a leftover, a temporary in use, no name, no room for the terminator in 255 bytes.
    for (const std::string& file :
         {Path("missing.log"), Path("fifo.log"), Path("dir.log"), Path("link.log"),
          Path("gzlink.log"), Path("gzdir.log"), Path("tmplink.log"), Path("held.log"),
          std::string(), longest}) {
        std::strcpy(out_, "untouched");
        EXPECT_EQ(Start(file, 4, 0, true, out_, file == longest ? 255 : 256), nullptr) << file;
        EXPECT_STREQ(out_, "untouched");
        EXPECT_EQ(Listing(dir_), before) << file;
    }
    FILE_COMPRESS_CONFIG cfg{};
    EXPECT_EQ(FileCompress_Start(nullptr, out_, sizeof out_), nullptr);
    EXPECT_EQ(FileCompress_Start(&cfg, nullptr, sizeof out_), nullptr);
    std::memset(cfg.file, 'x', sizeof cfg.file);  // no terminator
    EXPECT_EQ(FileCompress_Start(&cfg, out_, sizeof out_), nullptr);
    FileCompress_Stop(holder);
    FILE_COMPRESS_HANDLE h = Start(longest, 4, 0, false, out_);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(std::strlen(out_), 255u);
    EXPECT_EQ(RunToEnd(h), FILE_COMPRESS_STATUS_FINISHED);
    FileCompress_Stop(h);
    EXPECT_EQ(Sh("gzip -t '" + longest + ".gz'"), 0);
}

std::string Expect(bool ok, const char* what) {
    return ok ? "" : std::string(what) + "; ";
}

// Random bytes do not compress: their archive cannot fit next to them on a 1 MiB tmpfs.
TEST_F(CompressTest, FullDiskFailsTheSliceAndKeepsSourceAndOlderArchive) {
    const std::string mnt = Path("small");
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    const auto verdict = hosttest::InPrivateTmpfs(mnt, "1m", [&] {
        const std::string src = mnt + "/d.log";
        std::string e = Expect(Sh("head -c 600000 /dev/urandom > '" + src + "'") == 0, "source");
        std::ofstream(src + ".gz") << "older archive";
        FILE_COMPRESS_HANDLE h = Start(src, 4, 64u << 10, true, out_);
        if (h == nullptr) return e + "start failed";
        e += Expect(RunToEnd(h) == FILE_COMPRESS_STATUS_FAILED, "slice did not fail");
        e += Expect(FileCompress_Run(h, 0) == FILE_COMPRESS_STATUS_FAILED, "failure not kept");
        FileCompress_Stop(h);
        e += Expect(Listing(mnt) == std::set<std::string>{"d.log", "d.log.gz"}, "leftovers");
        e += Expect(ReadFile(src + ".gz") == "older archive", "older archive damaged");
        // A file system that takes no new file: Start fails.
        e += Expect(mount(nullptr, mnt.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0,
                    "remount");
        return e + Expect(Start(src, 4, 0, true, out_) == nullptr, "start on read-only");
    });
    if (!verdict) GTEST_SKIP() << "no private mount namespace allowed here";
    EXPECT_EQ(*verdict, "");
}

}  // namespace
