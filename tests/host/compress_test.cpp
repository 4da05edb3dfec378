// The reference file compressor on real files, read back with real gzip.
#include <gtest/gtest.h>

#include "fileUtils/file_compress_host.h"
#include "tests/support/private_tmpfs.h"
#include "tools/loggen/station_log_gen.h"

namespace {

// What a shell line prints, or "<failed>" where it fails (gzip on a damaged archive).
std::string Out(const std::string& cmd) {
    std::string text;
    return rel::Shell(cmd, &text) ? text : "<failed>";
}

FILE_COMPRESS_HANDLE Start(const std::string& path, uint32_t level, uint32_t segment,
                           bool needDelete, char* out, uint16_t outLen = 256) {
    FILE_COMPRESS_CONFIG c{{}, level, segment, needDelete};
    std::snprintf(c.file, sizeof c.file, "%s", path.c_str());
    return FileCompress_Start(&c, out, outLen);
}

int RunToEnd(FILE_COMPRESS_HANDLE h) {
    for (int ret;;)
        if ((ret = FileCompress_Run(h, 0)) != FILE_COMPRESS_STATUS_ONGOING) return ret;
}

int sSlices = 0;                      // progress hook calls
std::pair<uint64_t, int> sLastSlice;  // bytes done and finished, as the hook saw them last

class CompressTest : public ::testing::Test {
  protected:
    hosttest::TempDir dir_;
    char out_[256] = {};
};

// Each slice reads at most the slice size of the source. An archive already there keeps its
// bytes ahead of the new ones; a temporary nobody holds is a leftover and is replaced; the
// final name appears, and the source goes, only once the archive is complete.
TEST_F(CompressTest, RoundTripThroughGzipInBoundedSlices) {
    // Source bytes, level, slice, pace, Run calls (0: not checked), bytes of a kept .gz, a
    // leftover, the source deleted.
    const std::tuple<size_t, uint32_t, uint32_t, uint32_t, int, size_t, bool, bool> cases[] = {
        {6u << 20, 4, 0, 0, 3, 0, false, false},            // the default slice
        {200000, 0, 64u << 10, 0, 4, 0, false, false},      // stored
        {1u << 20, 1, 1u << 20, 5, 2, 0, false, true},      // a background pace between slices
        {0, 4, 0, 0, 1, 0, false, true},                    // an empty archive
        {100, 4, 1, 0, 1, 0, false, false},                 // tiny slices are raised to a minimum
        {300000, 12, 64u << 10, 0, 0, 200000, true, true},  // a level above 9 is taken as 9
        {200000, 4, 4096, 0, 0, 2u << 20, true, false}};    // the kept .gz spans many slices
    FileCompressSetProgressHook([](const char*, uint64_t done, uint64_t, int finished) {
        ++sSlices, sLastSlice = {done, finished};
    });
    const std::string src = dir_ / "2026-12-03.log", gz = src + ".gz";
    for (const auto& [bytes, level, slice, pace, runs, kept, leftover, del] : cases) {
        SCOPED_TRACE(::testing::Message() << bytes << " bytes, slice " << slice);
        ASSERT_TRUE(rel::EmptyDir(dir_) && loggen::GenerateFile(dir_ / "kept", kept, 7) &&
                    loggen::GenerateFile(src, bytes, 3) &&
                    (kept == 0 || rel::Shell("gzip -c " + (dir_ / "kept") + " > " + gz)) &&
                    (!leftover || rel::WriteFile(src + FILE_COMPRESS_TEMP_SUFFIX, "cut short")));
        const std::string expected = Out("cat " + (dir_ / "kept") + " " + src);
        FILE_COMPRESS_HANDLE h = Start(src, level, slice, del, out_);
        ASSERT_EQ(std::string(h != nullptr ? out_ : "refused"), src + FILE_COMPRESS_TEMP_SUFFIX);
        int ret = FILE_COMPRESS_STATUS_ONGOING, calls = sSlices = 0;
        for (; ret == FILE_COMPRESS_STATUS_ONGOING; ++calls) {
            ASSERT_TRUE(rel::Exists(src) && rel::Exists(gz) == (kept > 0));
            ret = FileCompress_Run(h, pace);
        }
        const int again = FileCompress_Run(h, 0), stopped = FileCompress_Stop(h);
        EXPECT_EQ(std::make_tuple(ret, again, stopped, runs ? calls : 0, sSlices, sLastSlice,
                                  rel::Exists(src), rel::Exists(out_)),
                  std::make_tuple(FILE_COMPRESS_STATUS_FINISHED, FILE_COMPRESS_STATUS_FINISHED, 0,
                                  runs, calls, std::make_pair(uint64_t{bytes}, 1), !del, false));
        EXPECT_TRUE(Out("gzip -dc " + gz) == expected);
    }
    FileCompressSetProgressHook(nullptr);
}

// Stopped before its end, or overtaken by an archive that appears under the output's name or
// replaces the kept one: the run leaves the source and that archive as they are. A source
// replaced midway is compressed as it was read, and the new file under its name stays.
TEST_F(CompressTest, AStoppedOvertakenOrReplacedRunLosesNothing) {
    const std::string src = dir_ / "b.log", gz = src + ".gz";
    // An older archive there, slices run before, overtaken, replaced.
    const std::tuple<bool, int, bool, bool> cases[] = {
        {true, 0, false, false}, {true, 1, false, false}, {true, 3, false, false},
        {false, 1, true, false}, {true, 1, true, false},  {false, 1, false, true}};
    for (const auto& [kept, runs, overtaken, replaced] : cases) {
        ASSERT_TRUE(rel::EmptyDir(dir_) && loggen::GenerateFile(src, 1u << 20, 5) &&
                    (!kept || rel::WriteFile(gz, "older archive")));
        const std::string original = Out("cat " + src);
        FILE_COMPRESS_HANDLE h = Start(src, 4, 64u << 10, true, out_);
        for (int i = 0; i < runs; ++i)
            EXPECT_EQ(FileCompress_Run(h, 0), FILE_COMPRESS_STATUS_ONGOING);
        ASSERT_TRUE(!overtaken || rel::Shell("echo newer > " + gz + "~ && mv " + gz + "~ " + gz));
        ASSERT_TRUE(!replaced || (unlink(src.c_str()) == 0 && rel::WriteFile(src, "new line\n")));
        EXPECT_TRUE(!(overtaken || replaced) ||
                    RunToEnd(h) ==
                        (replaced ? FILE_COMPRESS_STATUS_FINISHED : FILE_COMPRESS_STATUS_FAILED));
        EXPECT_EQ(FileCompress_Stop(h), 0);
        EXPECT_EQ(rel::ListDir(dir_), (std::vector<std::string>{"b.log", "b.log.gz"})) << runs;
        EXPECT_EQ(Out("cat " + (replaced ? src : gz)), replaced    ? "new line\n"
                                                       : overtaken ? "newer\n"
                                                                   : "older archive");
        EXPECT_TRUE(!replaced || Out("gzip -dc " + gz) == original);
    }
}

// What cannot be compressed is refused at the start, and a card that fills up fails the run:
// neither leaves a file behind.
TEST_F(CompressTest, StartRefusesAndAFullCardFailsWhatCannotBeCompressedAndCreatesNothing) {
    // The longest name accepted: its output path takes 255 characters.
    const std::string longest = dir_ / (std::string(255 - dir_.size() - 8, 'n') + ".log");
    ASSERT_TRUE(
        loggen::GenerateFile(longest, 1000, 2) &&
        rel::Shell("cd " + dir_ + " && mkfifo fifo.log && mkdir dir.log gzdir.log.gz && " +
                   "for f in ok gzlink gzdir tmplink held; do echo x > $f.log; done && " +
                   "for f in link.log gzlink.log.gz tmplink.log~gz; do ln -s ok.log $f; done"));
    FILE_COMPRESS_HANDLE h = Start(dir_ / "held.log", 4, 0, false, out_);
    const auto before = rel::ListDir(dir_);
    // A link, anything but a regular file, an output or temporary name taken by anything but
    // a leftover, a temporary in use, no name, no room for the terminator in 255 bytes.
    for (const std::string& file :
         {dir_ / "missing.log", dir_ / "fifo.log", dir_ / "dir.log", dir_ / "link.log",
          dir_ / "gzlink.log", dir_ / "gzdir.log", dir_ / "tmplink.log", dir_ / "held.log",
          std::string(), longest}) {
        std::strcpy(out_, "untouched");
        EXPECT_EQ(Start(file, 4, 0, true, out_, file == longest ? 255 : 256), nullptr) << file;
        EXPECT_STREQ(out_, "untouched");
        EXPECT_EQ(rel::ListDir(dir_), before) << file;
    }
    FileCompress_Stop(h);
    FILE_COMPRESS_CONFIG cfg{};
    std::memset(cfg.file, 'x', sizeof cfg.file);  // no terminator
    // No configuration, nowhere to write the output's name to, no terminator; no handle.
    EXPECT_EQ(std::make_tuple(FileCompress_Start(nullptr, out_, sizeof out_),
                              Start(dir_ / "ok.log", 4, 0, true, nullptr),
                              FileCompress_Start(&cfg, out_, sizeof out_),
                              FileCompress_Run(nullptr, 0), FileCompress_Stop(nullptr)),
              std::make_tuple(nullptr, nullptr, nullptr, FILE_COMPRESS_STATUS_FAILED, -1));
    h = Start(longest, 4, 0, false, out_);
    ASSERT_EQ(std::string(h != nullptr ? out_ : "refused"), longest + FILE_COMPRESS_TEMP_SUFFIX);
    EXPECT_EQ(RunToEnd(h), FILE_COMPRESS_STATUS_FINISHED);
    FileCompress_Stop(h);
    EXPECT_EQ(Out("gzip -dc " + longest + ".gz"), Out("cat " + longest));
    // Random bytes do not compress: their archive cannot fit next to them on a 1 MiB tmpfs. The
    // failure stays, and so do the source and the older archive. A read-only mount takes no new
    // file.
    const std::string src = dir_ / "d.log";
    const auto verdict = hosttest::InPrivateTmpfs(dir_, "1m", [&]() -> std::string {
        if (!rel::Shell("head -c 600000 /dev/urandom > " + src + " && printf old > " + src + ".gz"))
            return "set-up";
        h = Start(src, 4, 64u << 10, true, out_);
        const bool failed = h != nullptr && RunToEnd(h) == FILE_COMPRESS_STATUS_FAILED &&
                            FileCompress_Run(h, 0) == FILE_COMPRESS_STATUS_FAILED;
        FileCompress_Stop(h);
        if (!failed || rel::ListDir(dir_) != std::vector<std::string>{"d.log", "d.log.gz"} ||
            Out("cat " + src + ".gz") != "old")
            return "no lasting failure, or leftovers, or the older archive damaged";
        mount(nullptr, dir_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr);
        return Start(src, 4, 0, true, out_) == nullptr ? "" : "started on a read-only mount";
    });
    if (!verdict) GTEST_SKIP() << "no private mount namespace allowed here";
    EXPECT_EQ(*verdict, "");
}

}  // namespace
