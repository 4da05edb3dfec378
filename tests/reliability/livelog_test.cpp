// The station keeps writing today's logs while a package request includes them. The
// packaging reads a file that grows under it, and a failed or cancelled package unpacks its
// archive back over the logs: both must keep every line the station wrote.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

#include "logCompress/LogCompTrigger.h"
#include "tests/reliability/rel_env.h"
#include "tests/reliability/rel_faultcase.h"

namespace rel {
namespace {

// Appends numbered lines to a log the way the station does, one write per line, and notes
// each line so the case's inventory looks for it.
class LiveWriter {
  public:
    ~LiveWriter() { Stop(); }
    // `bulk` bytes at once (so that a reader needs a while), then a line every few
    // microseconds on a thread of its own until Stop.
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
    void AppendLines(const std::string& path, int n) {
        fd_ = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        Append(n);
        close(fd_);
        fd_ = -1;
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

// Today's main log grows from the moment tar starts until the request is over.
FaultCase PackageWhileWriting(Expect e) {
    FaultPlan plan;
    plan.beforeShell = [](ShellKind kind) {
        if (kind == ShellKind::kPack) {
            gWriter.Start(TodayLog(), static_cast<size_t>(ForBuild(4, 4, 1) * (1 << 20)));
        }
    };
    FaultCase c = Package("today's log written during packaging", plan, std::move(e));
    c.afterRequest = [] { gWriter.Stop(); };
    return c;
}

TEST(LiveLog, PackagingWhileTodaysLogIsWrittenLosesNothing) {
    EXPECT_EQ(RunCase(PackageWhileWriting(AnyOutcome()
                                              .Growing({TheDays().t + ".log"})
                                              .ArchiveHolds()
                                              .Tolerate({kArchive, kArchive + ".gz"}))),
              "");
}

// Known faults, kept out of the regular run until fixed (--gtest_also_run_disabled_tests).
//
// tar exits with status 1 ("file changed as we read it") when a file grows while it is read,
// and the shell runner reports every non-zero exit as a failure: a package that includes
// today's log, which the station is writing, fails, its requester never hears, and the
// archive tar wrote stays behind.
TEST(LiveLogKnown, DISABLED_PackagingTodaysLiveLogIsAnswered) {
    EXPECT_EQ(RunCase(PackageWhileWriting(Heard(LOG_COMP_TRIGGER_RESULT_SUCCESS, {})
                                              .Growing({TheDays().t + ".log"})
                                              .ArchiveHolds()
                                              .Tolerate({kArchive + ".gz"}))),
              "");
}

// A failed (or cancelled) package is unpacked back into the log directory with tar -x, which
// replaces today's log, left in place by the packaging, with the copy taken when it was packed:
// every line the station wrote since then is gone.
TEST(LiveLogKnown, DISABLED_RestoreKeepsLinesWrittenSincePackaging) {
    FaultPlan plan;
    plan.failStartOf = kArchive;
    plan.beforeShell = [](ShellKind kind) {
        if (kind == ShellKind::kRestore) gWriter.AppendLines(TodayLog(), 100);
    };
    EXPECT_EQ(
        RunCase(Package("lines written before the restore", plan,
                        Heard(LOG_COMP_TRIGGER_RESULT_FAILED, {}).Growing({TheDays().t + ".log"}))),
        "");
}

}  // namespace
}  // namespace rel
