// Faults in the host services under a real loop, real tar and the real compressor: the library
// is linked with -Wl,--wrap for FileCompress_Start, FileCompress_Run and FILE_system, so its
// calls land here first and reach the real host only as the case's plan allows. For each case:
// what the requester hears, what is logged, which files are left, and an inventory showing
// that no line was lost and nothing half-made was left.
#include <fcntl.h>
#include <gtest/gtest.h>

#include "fileUtils/file_utils.h"
#include "tests/support/env.h"
#include "tests/support/private_tmpfs.h"
#include "tests/support/realhost.h"

extern "C" {
FILE_COMPRESS_HANDLE __real_FileCompress_Start(FILE_COMPRESS_CONFIG* config, char* outFile,
                                               uint16_t outFileLen);
int __real_FileCompress_Run(FILE_COMPRESS_HANDLE handle, uint32_t delayMs);
int __real_FILE_system(const char* cmd, char* output, int outputLen);
}

namespace rel {
namespace {

const std::string kLogDir = LOGCOMP_TEST_LOG_DIR;
const std::string kMediaDir = kLogDir.substr(0, kLogDir.rfind('/'));  // the card
const std::string kSinkFile = LOGCOMP_BINARY_DIR "/rel_faults.log";
const std::string kArchive = "pkg.tar";
const Days kDays = TheDays();
constexpr int kNoResult = -1;

enum Fault { kRuns, kFailBefore, kFailAfter };
struct Plan {
    uint32_t sliceBytes = 0;    // segment size forced on every compression (0: as asked)
    std::string failStartOf{};  // Start of the first file whose path contains this: NULL
    std::string failSliceOf{};  // a slice of the first file whose path contains this ...
    int failSliceIndex = 0;     // ... with this index (from 0) fails without being run
    Fault restore = kRuns;      // the restore's tar fails before running or after running
    std::function<void()> beforeStart{}, beforeTar{};
};

std::mutex gMu;
Plan gPlan;
std::map<FILE_COMPRESS_HANDLE, std::pair<std::string, int>> gHandles;  // file, slices run
Lines gWritten;  // lines a case's hooks wrote into the logs while it ran
Plan CurrentPlan() {
    return std::lock_guard<std::mutex>{gMu}, gPlan;
}

}  // namespace
}  // namespace rel

extern "C" {

FILE_COMPRESS_HANDLE __wrap_FileCompress_Start(FILE_COMPRESS_CONFIG* config, char* outFile,
                                               uint16_t outFileLen) {
    using namespace rel;
    const Plan plan = CurrentPlan();
    if (!plan.failStartOf.empty() && strstr(config->file, plan.failStartOf.c_str()) != nullptr) {
        std::lock_guard<std::mutex>{gMu}, gPlan.failStartOf.clear();  // once
        return nullptr;
    }
    if (plan.beforeStart) plan.beforeStart();
    FILE_COMPRESS_CONFIG copy = *config;
    if (plan.sliceBytes != 0) copy.segmentSize = plan.sliceBytes;
    FILE_COMPRESS_HANDLE h = __real_FileCompress_Start(&copy, outFile, outFileLen);
    std::lock_guard<std::mutex>{gMu}, gHandles[h] = {copy.file, 0};
    return h;
}

int __wrap_FileCompress_Run(FILE_COMPRESS_HANDLE handle, uint32_t delayMs) {
    using namespace rel;
    {
        std::lock_guard<std::mutex> lock(gMu);
        auto& [file, slices] = gHandles[handle];
        if (slices++ == gPlan.failSliceIndex && !gPlan.failSliceOf.empty() &&
            file.find(gPlan.failSliceOf) != std::string::npos) {
            gPlan.failSliceOf.clear();  // once
            return FILE_COMPRESS_STATUS_FAILED;
        }
    }
    return __real_FileCompress_Run(handle, delayMs);
}

int __wrap_FILE_system(const char* cmd, char* output, int outputLen) {
    using namespace rel;
    const Plan plan = CurrentPlan();
    const Fault fault = strstr(cmd, "tar -xvf") ? plan.restore : kRuns;
    if (fault == kFailBefore) return output != nullptr ? output[0] = '\0', -1 : -1;
    if (plan.beforeTar && strstr(cmd, "tar -cvf")) plan.beforeTar();
    const int rc = __real_FILE_system(cmd, output, outputLen);
    return fault == kFailAfter ? -1 : rc;
}

}  // extern "C"

namespace rel {
namespace {

struct Case {
    std::string name;
    bool package;  // else compress-only: package takes P2..T, compress-only takes P1
    Plan plan;
    int result;                      // LOG_COMP_TRIGGER_RESULT_*, or kNoResult
    std::vector<std::string> lines;  // messages that must be logged (as a prefix)
    // Logs no longer there afterwards (their lines are), files there only afterwards.
    std::vector<std::string> gone{}, added{};
    std::function<void()> beforeRequest{}, afterRequest{};  // the latter once the loop stopped
};
void NoteWritten(const std::string& text) {
    std::lock_guard<std::mutex>{gMu}, gWritten.Add(text);
}
bool WasLogged(const std::string& prefix) {
    const auto logged = Logged(kSinkFile);
    const auto it = logged.lower_bound(prefix);
    return it != logged.end() && it->first.compare(0, prefix.size(), prefix) == 0;
}

// "" when the case went as expected, else what it left against what it should have: whether
// the request ran and was released, the results heard, the messages not logged, the lines
// lost, the records, temporaries, damaged and cut archives, and the entries left.
std::string RunCase(const Case& c) {
    const Days& d = kDays;
    Lines expected;
    if (!EmptyDir(kLogDir) || !AddDays(kLogDir, {d.p1, d.p2, d.p3}, 64 << 10, 4242, &expected) ||
        !AddDays(kLogDir, {d.t}, 32 << 10, 4242, &expected))
        return c.name + ": cannot prepare the log directory\n";
    gWritten = Lines();
    if (c.beforeRequest) c.beforeRequest();
    const std::vector<std::string> before = ListDir(kLogDir);
    std::set<std::string> names(before.begin(), before.end());
    for (const auto& name : c.gone) names.erase(name);
    names.insert(c.added.begin(), c.added.end());
    gPlan = c.plan, gHandles.clear(), gResults.Clear();
    TriggerHost host;
    const auto req = c.package ? MakeReq("fault", LOG_COMPRESS_OPTION_FULL, d.p2, d.t,
                                         kLogDir + "/" + kArchive + ".gz")
                               : MakeReq("fault", LOG_COMPRESS_OPTION_ONLY_COMPRESS, d.p1, d.p1);
    // A failed dispatch is logged once the post ran; only a task the executor took can answer.
    const bool ran = host.Start(kSinkFile) && LogCompTriggerPostTask(&req) == 0 &&
                     host.loop.Run() &&
                     (c.result == kNoResult || WasLogged("[fault]LogCompTriggerEventProc failed") ||
                      gResults.WaitCount(1));
    const bool released = host.Stop();
    if (c.afterRequest) c.afterRequest();
    gPlan = Plan{};
    std::string got = "ran, released " + std::to_string(ran) + std::to_string(released) + "; heard";
    for (const auto& r : gResults.All()) got += " " + std::to_string(r.result);
    for (const auto& line : c.lines)
        if (!WasLogged(line)) got += "\nnot logged: " + line;
    for (const auto& [line, n] : gWritten.count) expected.count[line] += n;
    const Inventory inv = TakeInventory(kLogDir);
    got += expected.MissingFrom(inv.lines) + "\nrecords, temporaries, damaged, cut: " +
           ::testing::PrintToString(std::vector{ListDir(kLogDir + "/" LOG_COMP_RECORD_DIR_NAME),
                                                inv.temps, inv.damaged, inv.cutTars}) +
           "\nleft " + ::testing::PrintToString(inv.names);
    const std::string want =
        "ran, released 11; heard" + (c.result == kNoResult ? "" : " " + std::to_string(c.result)) +
        "\nrecords, temporaries, damaged, cut: { {}, {}, {}, {} }\nleft " +
        ::testing::PrintToString(std::vector<std::string>(names.begin(), names.end()));
    return got == want ? "" : c.name + ":\n" + got + "\nexpected:\n" + want + "\n";
}

// Writes beside the log directory until the card has no byte left.
void FillCard() {
    const int fd = open((kMediaDir + "/filler").c_str(), O_CREAT | O_WRONLY | O_APPEND, 0644);
    std::vector<char> block(1 << 20, 'F');
    for (size_t chunk = block.size(); fd >= 0 && chunk > 0;)
        if (write(fd, block.data(), chunk) <= 0) chunk /= 2;
    close(fd);
}

// The past logs a package takes, gone from the directory once the archive holds them.
std::vector<std::string> Packed() {
    std::vector<std::string> names = loggen::DayFileNames(kDays.p2);
    for (const auto& name : loggen::DayFileNames(kDays.p3)) names.push_back(name);
    return names;
}

// Where the requester hears the failure, that is the check; the log is checked where it is
// the only outcome (a failed dispatch, a failed restore). tar's and rm's own failures are
// shown on the fakes (unit trigger tests).
const char* const kRestoreFailed = "LCTRestoreTarFile: restore failed, output = ";

// A compressor that fails at a chosen slice or cannot start; the restore failing before
// running or after running anyway; a late line after the daily run; a full card.
TEST(Faults, HostFailuresAndAFullCardLoseNothingAndLeaveNoPartialOutput) {
    const int failed = LOG_COMP_TRIGGER_RESULT_FAILED;
    const std::vector<std::string> p1 = loggen::DayFileNames(kDays.p1);
    auto gz = [](std::vector<std::string> names) {
        for (auto& name : names) name += ".gz";
        return names;
    };
    // clang-format off
    std::vector<Case> cases = {
        {"archive slice 3 fails", true, {16 << 10, "", kArchive, 2}, failed, {}},
        {"archive compression cannot start", true, {0, kArchive}, failed, {}},
        {"second file fails at slice 2", false, {4096, "", p1[1], 1}, failed, {}, {p1[0]}, gz({p1[0]})},
        {"third file cannot start", false, {0, p1[2]}, failed, {}, {p1[0], p1[1]}, gz({p1[0], p1[1]})},
        {"compression and restore fail: the .tar stays", true, {0, kArchive, "", 0, kFailBefore},
         failed, {kRestoreFailed}, Packed(), {kArchive}},
        {"restore ran, reported failed", true, {0, kArchive, "", 0, kFailAfter}, failed, {kRestoreFailed}},
        // The daily run compressed yesterday's log; then the station wrote one late line into a
        // log it created anew, and the next run compresses that: the .gz keeps every line.
        {"a late line after the daily run", false, {}, LOG_COMP_TRIGGER_RESULT_SUCCESS, {}, p1, gz(p1),
         [log = kLogDir + "/" + p1[0]] {
             const std::string line = "2026-12-06T00:00:01.000Z INFO a late line\n";
             Shell("gzip -c '" + log + "' > '" + log + ".gz' && printf '%s' '" + line + "' > '" + log + "'");
             NoteWritten(line);
         }},
    };
    // clang-format on
    for (const auto& c : cases) EXPECT_EQ(RunCase(c), "");

    // On a card of 2 MiB: a tmpfs in a private mount namespace of a child process.
    // clang-format off
    const Case onFullCard[] = {
        {"card full at compression", false, {0, "", "", 0, kRuns, FillCard}, failed, {}},
        {"card full at the archive's compression, so at its restore", true,
         {0, "", "", 0, kRuns, FillCard}, failed, {kRestoreFailed}, Packed(), {kArchive}},
        {"card full at tar", true, {0, "", "", 0, kRuns, nullptr, FillCard}, kNoResult,
         {"LogCompPackageFiles: package failed, output = ",
          "[fault]EventLogPackageAndCompress failed, PackageFiles failed"}},
    };
    // clang-format on
    if (Emulated()) GTEST_SKIP() << "mount namespaces are not emulated";
    for (const auto& c : onFullCard) {
        const auto found = hosttest::InPrivateTmpfs(kMediaDir, "2m", [&] { return RunCase(c); });
        if (!found) GTEST_SKIP() << "cannot mount a tmpfs here";
        EXPECT_EQ(*found, "");
    }
}

// Today's log written while it is packed, the way a station logger writes: one descriptor kept
// open, one write per line, each line noted so that the inventory looks for it. From the moment
// tar starts: 4 MiB at once (so that tar needs a while), then a line every few microseconds
// until the request is over.
std::atomic<bool> gWriting{false};
std::thread gWriter;

void StartWriting() {
    gWriting = true;
    gWriter = std::thread([] {
        const int fd = open((kLogDir + "/" + kDays.t + ".log").c_str(), O_WRONLY | O_APPEND);
        const size_t bulk = static_cast<size_t>(ForBuild(4, 4, 1) * (1 << 20));
        for (size_t seq = 0, bytes = 0; gWriting; ++seq) {
            const std::string line = "2026-12-06T10:00:00.000Z INFO live " + std::to_string(seq);
            if (write(fd, (line + "\n").data(), line.size() + 1) > 0) NoteWritten(line);
            if ((bytes += line.size() + 1) > bulk) usleep(20);
        }
        close(fd);
    });
}

// With `stop`, a stop reaches the executor before the archive's first compression slice, so
// that the restore runs while the log is written.
Case PackageWhileWriting(bool stop) {
    const auto postStop = [] {
        const LOG_COMP_TRIGGER_REQ req = MakeReq("fault", LOG_COMPRESS_OPTION_STOP, "", "");
        LogCompTriggerPostTask(&req);
        Until([] { return WasLogged("[fault]LogCompress Event Stop"); });
    };
    const std::vector<std::string> none, gone = stop ? none : Packed();
    // clang-format off
    return {stop ? "stopped while today's log is written" : "packaged while today's log is written",
            true, {4096, "", "", 0, kRuns, stop ? std::function<void()>(postStop) : nullptr, StartWriting},
            stop ? LOG_COMP_TRIGGER_RESULT_REJECT : LOG_COMP_TRIGGER_RESULT_SUCCESS, {}, gone,
            stop ? none : std::vector<std::string>{kArchive + ".gz"}, nullptr,
            [] { gWriting = false, gWriter.join(); }};
    // clang-format on
}

TEST(LiveLog, EveryRequestAnsweredAndNoLineLostWithGnuAndBusyBoxTar) {
    const std::string bin = LOGCOMP_BINARY_DIR "/busybox-bin";
    const std::string path = getenv("PATH");
    ASSERT_TRUE(Shell("bb=$(command -v busybox) && mkdir -p '" + bin + "' && ln -sf \"$bb\" '" +
                      bin + "/tar' && ln -sf \"$bb\" '" + bin + "/rm'"))
        << "busybox is not installed (scripts/install-deps.sh)";
    for (const char* tar : {"GNU", "BusyBox"}) {
        if (tar[0] == 'B') setenv("PATH", (bin + ":" + path).c_str(), 1);
        for (bool stop : {false, true}) {
            for (int i = 0; i < static_cast<int>(ForBuild(2, 1, 1)); ++i)
                EXPECT_EQ(RunCase(PackageWhileWriting(stop)), "") << tar << " tar, round " << i;
        }
    }
    setenv("PATH", path.c_str(), 1);
}

}  // namespace
}  // namespace rel
