// Faults in the host services under a real loop, real tar and the real compressor: a
// compressor that fails at a chosen slice or cannot start, a tar, rm or restore that fails
// (before running, or after running anyway), and a card that is full (a small tmpfs in a
// private mount namespace). For each: what the requester hears, what is logged, and an
// inventory showing that no log line was lost and no partial output was left behind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "logCompress/LogCompTrigger.h"
#include "tests/reliability/rel_child.h"
#include "tests/reliability/rel_env.h"
#include "tests/reliability/rel_faultcase.h"
#include "tests/reliability/rel_fs.h"

namespace rel {
namespace {

// ---- the cases

const char* const kCompressFailed = "[TaskId = 0] Compress File Finished, status = 2";
const char* const kStartFailed = "FileCompress_Start failed, taskId = 0";
const char* const kPackFailed = "[fault]EventLogPackageAndCompress failed, PackageFiles failed";
const char* const kDispatchFailed = "[fault]LogCompTriggerEventProc failed, compressOption 1";
const char* const kRestoreFailed = "LCTRestoreTarFile: restore failed, output = ";

FaultPlan SliceFails(const std::string& file, int index, uint32_t sliceBytes) {
    FaultPlan p;
    p.sliceBytes = sliceBytes;
    p.failSliceOf = file;
    p.failSliceIndex = index;
    return p;
}
FaultPlan StartFails(const std::string& file) {
    FaultPlan p;
    p.failStartOf = file;
    return p;
}
FaultPlan Shell(ShellFault pack, ShellFault del, ShellFault restore, FaultPlan p = {}) {
    p.pack = pack;
    p.del = del;
    p.restore = restore;
    return p;
}

std::vector<FaultCase> CompressorAndShellCases() {
    const Days d = TheDays();
    const auto none = ShellFault::kNone;
    const auto before = ShellFault::kFailBefore;
    const auto after = ShellFault::kFailAfter;
    const int failed = LOG_COMP_TRIGGER_RESULT_FAILED;
    return {
        Package("archive slice 3 fails", SliceFails(kArchive, 2, 16 * 1024),
                Heard(failed, {kCompressFailed,
                               "[fault]TaskLogCompCallback: taskId 0 compress failed, ret = 2"})),
        Package("archive compression cannot start", StartFails(kArchive),
                Heard(failed, {kStartFailed})),
        CompressOnly("second file fails at slice 2", SliceFails(d.p1 + "-csms.log", 1, 4096),
                     Heard(failed, {kCompressFailed}).Compressed({d.p1 + ".log"})),
        CompressOnly("third file cannot start", StartFails(d.p1 + "-network-shell.log"),
                     Heard(failed, {kStartFailed}).Compressed({d.p1 + ".log", d.p1 + "-csms.log"})),
        Package("tar not run", Shell(before, none, none),
                NothingHeard({"LogCompPackageFiles: package failed, output = ", kPackFailed,
                              kDispatchFailed})),
        Package("rm not run", Shell(none, before, none),
                NothingHeard({"LogCompPackageFiles: delete failed, output = ", kPackFailed,
                              kDispatchFailed})),
        Package("rm ran, reported failed", Shell(none, after, none),
                NothingHeard({"LogCompPackageFiles: delete failed, output = ", kPackFailed,
                              kDispatchFailed})),
        // A failed tar leaves no archive: its sources were never touched.
        Package("tar ran, reported failed", Shell(after, none, none),
                NothingHeard({"LogCompPackageFiles: package failed, output = ", kPackFailed})),
        Package("compression and restore fail", Shell(none, none, before, StartFails(kArchive)),
                Heard(failed, {kStartFailed, kRestoreFailed}).KeptInArchive()),
        Package("restore ran, reported failed", Shell(none, none, after, StartFails(kArchive)),
                Heard(failed, {kStartFailed, kRestoreFailed})),
    };
}

// The daily run compressed yesterday's log; then the station wrote one late line into a
// log it created anew, and the next run compresses that: yesterday's .gz keeps every line.
FaultCase LateLineAfterTheDailyRun() {
    const Days d = TheDays();
    const std::string log = kFaultLogDir + "/" + d.p1 + ".log";
    FaultCase c =
        CompressOnly("a late line after the daily run", FaultPlan{},
                     Heard(LOG_COMP_TRIGGER_RESULT_SUCCESS, {})
                         .Compressed({d.p1 + ".log", d.p1 + "-csms.log",
                                      d.p1 + "-network-shell.log", "csms-broker-" + d.p1 + ".log"})
                         .Growing({d.p1 + ".log.gz"}));
    c.beforeRequest = [log] {
        const std::string late = "2026-12-06T00:00:01.000Z INFO a late line\n";
        rel::Shell("gzip -c '" + log + "' > '" + log + ".gz' && printf '%s' '" + late + "' > '" +
                   log + "'");
        NoteWritten(late);
    };
    return c;
}

TEST(Faults, CompressorAndShellFailuresLoseNothingAndLeaveNoPartialOutput) {
    for (const auto& c : CompressorAndShellCases()) {
        EXPECT_EQ(RunCase(c), "");
    }
    EXPECT_EQ(RunCase(LateLineAfterTheDailyRun()), "");
}

// A tmpfs card of 2 MiB mounted over the test media in a child's own mount namespace.
void RunOnFullCard(const FaultCase& c) {
    const ChildOutcome out = RunOnPrivateTmpfs(
        kFaultMediaDir, "2m",
        [&c] { return EmptyDir(kFaultLogDir) ? RunCase(c) : "cannot make the log dir"; }, 300);
    if (out.code == kSkipCode) GTEST_SKIP() << out.text;
    EXPECT_EQ(out.code, 0) << out.text;
}

FaultPlan FillBeforeStart() {
    FaultPlan p;
    p.beforeStart = [] { FillDisk(kFaultFiller); };
    return p;
}

FaultPlan FillBeforeTar() {
    FaultPlan p;
    p.beforeShell = [](ShellKind kind) {
        if (kind == ShellKind::kPack) FillDisk(kFaultFiller);
    };
    return p;
}

TEST(FaultsFullCard, CompressOnlyOnAFullCardFailsAndKeepsTheLogs) {
    if (Emulated()) GTEST_SKIP() << "mount namespaces are not emulated";
    RunOnFullCard(CompressOnly("card full at compression", FillBeforeStart(),
                               Heard(LOG_COMP_TRIGGER_RESULT_FAILED, {kCompressFailed})));
}

TEST(FaultsFullCard, PackageOnAFullCardKeepsTheArchiveWhenTheRestoreCannotWrite) {
    if (Emulated()) GTEST_SKIP() << "mount namespaces are not emulated";
    RunOnFullCard(Package(
        "card full at the archive's compression", FillBeforeStart(),
        Heard(LOG_COMP_TRIGGER_RESULT_FAILED, {kCompressFailed, kRestoreFailed}).KeptInArchive()));
}

TEST(FaultsFullCard, TarOnAFullCardFailsAndKeepsTheLogs) {
    if (Emulated()) GTEST_SKIP() << "mount namespaces are not emulated";
    RunOnFullCard(
        Package("card full at tar", FillBeforeTar(),
                NothingHeard({"LogCompPackageFiles: package failed, output = ", kPackFailed})));
}

}  // namespace
}  // namespace rel
