// The station keeps writing today's log while a package request includes it, with GNU tar and
// with BusyBox tar. tar may report that the log changed while it read it; the package must
// still be answered, and a stop in the middle of the archive's compression must put every
// packed file back without replacing the live log: every line written, before and during the
// request and during the restore, is still in the directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "logCompress/LogCompTrigger.h"
#include "tests/reliability/rel_env.h"
#include "tests/reliability/rel_faultcase.h"
#include "tests/reliability/rel_fs.h"
#include "tests/reliability/rel_realhost.h"

namespace rel {
namespace {

// Appends numbered lines to today's log the way a station logger does: one descriptor kept
// open, one write per line; each line is noted so the case's inventory looks for it.
class LiveWriter {
  public:
    ~LiveWriter() { Stop(); }
    // `bulk` bytes at once (so that tar needs a while), then a line every few microseconds.
    void Start(const std::string& path, size_t bulk) {
        fd_ = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        stop_ = false;
        while (bulk > 0) bulk -= std::min(bulk, Append(4096));
        thread_ = std::thread([this] {
            while (!stop_.load()) {
                Append(1);
                usleep(20);
            }
        });
    }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

  private:
    // Appends n lines with one write; returns the bytes written (at least 1).
    size_t Append(int n) {
        std::string text;
        for (int i = 0; i < n; ++i) {
            text += "2026-12-06T10:00:00.000Z INFO live line " + std::to_string(seq_++) +
                    " written while the log was being packaged\n";
        }
        if (write(fd_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return 1;
        NoteWritten(text);
        return text.size();
    }
    int fd_ = -1;
    uint64_t seq_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

LiveWriter gWriter;

std::string TodayLog() {
    return kFaultLogDir + "/" + TheDays().t + ".log";
}

// Puts BusyBox's tar and rm first on the PATH the library's shell commands see.
class BusyBoxPath {
  public:
    explicit BusyBoxPath(bool on) : saved_(getenv("PATH")) {
        if (!on) return;
        const std::string dir = LOGCOMP_BINARY_DIR "/busybox-bin";
        ok_ = Shell("bb=$(command -v busybox) && mkdir -p '" + dir + "' && ln -sf \"$bb\" '" + dir +
                    "/tar' && ln -sf \"$bb\" '" + dir + "/rm'");
        if (ok_) setenv("PATH", (dir + ":" + saved_).c_str(), 1);
    }
    ~BusyBoxPath() { setenv("PATH", saved_.c_str(), 1); }
    bool Ok() const { return ok_; }

  private:
    std::string saved_;
    bool ok_ = true;
};

// Today's log grows from the moment tar starts until the request is over; with `stop`, a stop
// request reaches the executor before the archive's first compression slice.
FaultCase PackageWhileWriting(bool stop) {
    FaultPlan plan;
    plan.sliceBytes = 4096;
    plan.beforeShell = [](ShellKind kind) {
        if (kind == ShellKind::kPack) {
            gWriter.Start(TodayLog(), static_cast<size_t>(ForBuild(4, 4, 1) * (1 << 20)));
        }
    };
    if (stop) {
        plan.beforeStart = [] {
            const LOG_COMP_TRIGGER_REQ req = MakeReq("fault", LOG_COMPRESS_OPTION_STOP, "", "");
            LogCompTriggerPostTask(&req);
            WaitLogged("[fault]LogCompress Event Stop");
        };
    }
    const std::string today = TheDays().t + ".log";
    Expect e = stop ? Heard(LOG_COMP_TRIGGER_RESULT_REJECT, {"[fault]LogCompress Event Stop"})
                    : Heard(LOG_COMP_TRIGGER_RESULT_SUCCESS, {})
                          .ArchiveHolds()
                          .Tolerate({kArchive + ".gz"});
    FaultCase c = Package(
        stop ? "stopped while today's log is written" : "packaged while today's log is written",
        plan, e.Growing({today}));
    c.afterRequest = [] { gWriter.Stop(); };
    return c;
}

TEST(LiveLog, EveryRequestAnsweredAndNoLineLostWithGnuAndBusyBoxTar) {
    const int rounds = static_cast<int>(ForBuild(2, 1, 1));
    for (bool busybox : {false, true}) {
        BusyBoxPath path(busybox);
        ASSERT_TRUE(path.Ok()) << "busybox is not installed (scripts/install-deps.sh)";
        for (bool stop : {false, true}) {
            int clean = 0;
            for (int i = 0; i < rounds; ++i) {
                const std::string found = RunCase(PackageWhileWriting(stop));
                EXPECT_EQ(found, "") << (busybox ? "BusyBox" : "GNU") << " tar, round " << i;
                clean += found.empty();
            }
            printf("%s tar, %s: %d of %d rounds answered as expected with no line lost\n",
                   busybox ? "BusyBox" : "GNU", stop ? "stop during compression" : "package", clean,
                   rounds);
        }
    }
}

}  // namespace
}  // namespace rel
