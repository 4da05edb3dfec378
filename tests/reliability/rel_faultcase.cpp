// One request under a fault plan; see rel_faultcase.h.
#include "tests/reliability/rel_faultcase.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "logCompress/LogCompPaths.h"
#include "logCompress/LogCompTrigger.h"
#include "tools/loggen/station_log_gen.h"
#include "tests/reliability/rel_fs.h"
#include "tests/reliability/rel_logfile.h"
#include "tests/reliability/rel_realhost.h"

namespace rel {

const std::string kFaultLogDir = LOGCOMP_TEST_LOG_DIR;
const std::string kFaultMediaDir = kFaultLogDir.substr(0, kFaultLogDir.rfind('/'));
const std::string kFaultFiller = kFaultMediaDir + "/filler";
const std::string kArchive = "pkg.tar";

namespace {

const std::string& kLogDir = kFaultLogDir;
const std::string kSinkFile = LOGCOMP_BINARY_DIR "/rel_faults.log";
constexpr size_t kPastBytes = 64 * 1024;
constexpr size_t kTodayBytes = 32 * 1024;
constexpr uint64_t kSeed = 4242;
constexpr const char* kId = "fault";

std::mutex gWrittenMu;
LineSet gWritten{true};

using Snapshot = std::map<std::string, std::string>;

bool Contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

Snapshot TakeSnapshot(const std::string& dir) {
    Snapshot snap;
    for (const auto& name : ListDir(dir)) ReadFile(dir + "/" + name, &snap[name]);
    return snap;
}

// Collects what went wrong in one case.
class Findings {
  public:
    explicit Findings(std::string name) : name_(std::move(name)) {}
    void Check(bool ok, const std::string& what) {
        if (!ok) text_ += name_ + ": " + what + "\n";
    }
    const std::string& Text() const { return text_; }

  private:
    std::string name_;
    std::string text_;
};

std::string Unpacked(const std::string& gzPath) {
    std::string bytes;
    std::string plain;
    std::string err;
    return ReadFile(gzPath, &bytes) && GunzipAll(bytes, &plain, &err) ? plain : "<unreadable>";
}

// The members of the package's archive, from pkg.tar or, once compressed, pkg.tar.gz.
std::map<std::string, std::string> ArchiveMembers(const Snapshot& after) {
    std::map<std::string, std::string> members;
    std::string tar;
    std::string err;
    if (auto it = after.find(kArchive); it != after.end()) {
        tar = it->second;
    } else if (auto gz = after.find(kArchive + ".gz"); gz != after.end()) {
        GunzipAll(gz->second, &tar, &err);
    }
    std::vector<TarMember> list;
    if (ReadTar(tar, &list, &err)) {
        for (auto& m : list) members[m.name] = std::move(m.data);
    }
    return members;
}

// Every log of `before` is where the case expects it, and nothing else was left behind.
void CheckFiles(const Snapshot& before, const Snapshot& after, const Expect& e, Findings& f) {
    std::map<std::string, bool> allowed;
    for (const auto& name : e.tolerated) allowed[name] = true;
    for (const auto& name : e.extra) {
        allowed[name] = true;
        f.Check(after.count(name) == 1, name + " should be left");
    }
    const auto members = ArchiveMembers(after);
    for (const auto& [name, bytes] : before) {
        if (Contains(e.compressed, name)) {
            allowed[name + ".gz"] = true;
            f.Check(after.count(name) == 0, name + " should be gone (compressed)");
            const std::string gz = Unpacked(kLogDir + "/" + name + ".gz");
            f.Check(gz.size() >= bytes.size() &&
                        gz.compare(gz.size() - bytes.size(), bytes.size(), bytes) == 0,
                    name + ".gz does not end with " + name);
            continue;
        }
        allowed[name] = true;
        auto it = after.find(name);
        if (it != after.end() && (it->second == bytes || Contains(e.growing, name))) continue;
        auto m = members.find(name);
        f.Check(e.archiveHolds && m != members.end() && m->second == bytes,
                name + (it == after.end() ? " is gone" : " was changed"));
    }
    for (const auto& [name, bytes] : after) {
        f.Check(allowed.count(name) == 1, "left behind: " + name);
    }
}

void CheckOutcome(const Expect& e, Findings& f) {
    const auto results = Results::All();
    if (e.anyResult) {
        f.Check(results.size() <= 1, "the requester heard more than once");
    } else if (e.result == kNoResult) {
        f.Check(results.empty(), "the requester heard something");
    } else {
        f.Check(results.size() == 1,
                "the requester heard " + std::to_string(results.size()) + " results, not one");
        f.Check(!results.empty() && results[0].result == e.result,
                "result " +
                    (results.empty() ? std::string("none") : std::to_string(results[0].result)) +
                    ", expected " + std::to_string(e.result));
    }
    // A line ending in "= " stands for its prefix: the shell's output follows it.
    const auto records = ReadLogFile(kSinkFile);
    for (const auto& line : e.lines) {
        const bool prefix = line.size() > 2 && line.compare(line.size() - 2, 2, "= ") == 0;
        bool seen = false;
        for (const auto& r : records) {
            seen = seen || r.text == line || (prefix && r.text.compare(0, line.size(), line) == 0);
        }
        f.Check(seen, "not logged: \"" + line + "\"");
    }
}

}  // namespace

Days TheDays() {
    const std::string t = loggen::UtcDate();
    return {ShiftDate(t, -3), ShiftDate(t, -2), ShiftDate(t, -1), t};
}

Expect Expect::Compressed(std::vector<std::string> names) const {
    Expect e = *this;
    e.compressed = std::move(names);
    return e;
}
Expect Expect::KeptInArchive() const {
    Expect e = *this;
    e.extra = {kArchive};
    e.archiveHolds = true;
    return e;
}
Expect Expect::ArchiveHolds() const {
    Expect e = *this;
    e.archiveHolds = true;
    return e;
}
Expect Expect::Tolerate(std::vector<std::string> names) const {
    Expect e = *this;
    e.tolerated = std::move(names);
    return e;
}
Expect Expect::Growing(std::vector<std::string> names) const {
    Expect e = *this;
    e.growing = std::move(names);
    return e;
}

Expect Heard(int result, std::vector<std::string> lines) {
    Expect e;
    e.result = result;
    e.lines = std::move(lines);
    return e;
}
Expect NothingHeard(std::vector<std::string> lines) {
    return Heard(kNoResult, std::move(lines));
}
Expect AnyOutcome() {
    Expect e;
    e.anyResult = true;
    return e;
}

FaultCase Package(const std::string& name, FaultPlan plan, Expect e) {
    const Days d = TheDays();
    return {name, LOG_COMPRESS_OPTION_FULL, d.p2, d.t, std::move(plan), std::move(e)};
}
FaultCase CompressOnly(const std::string& name, FaultPlan plan, Expect e) {
    const Days d = TheDays();
    return {name, LOG_COMPRESS_OPTION_ONLY_COMPRESS, d.p1, d.p1, std::move(plan), std::move(e)};
}

bool WaitLogged(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        for (const auto& r : ReadLogFile(kSinkFile)) {
            if (r.text == text) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

void NoteWritten(const std::string& text) {
    std::lock_guard<std::mutex> lock(gWrittenMu);
    gWritten.AddText(text);
}

// One request under one fault plan, from a freshly generated directory to the inventory.
std::string RunCase(const FaultCase& c) {
    Findings f(c.name);
    const Days d = TheDays();
    LineSet expected(true);
    if (!EmptyDir(kLogDir) || !AddDays(kLogDir, {d.p1, d.p2, d.p3}, kPastBytes, kSeed, &expected) ||
        !AddDays(kLogDir, {d.t}, kTodayBytes, kSeed, &expected)) {
        return c.name + ": cannot prepare the log directory\n";
    }
    {
        std::lock_guard<std::mutex> lock(gWrittenMu);
        gWritten = LineSet(true);
    }
    if (c.beforeRequest) c.beforeRequest();
    const Snapshot before = TakeSnapshot(kLogDir);
    SetFaultPlan(c.plan);
    Results::Clear();
    f.Check(LogToFile(kSinkFile), "cannot open the log file");
    RealLoop loop;
    LOG_COMP_TRIGGER_CONFIG config{{2, 0, 0}, nullptr};
    f.Check(loop.Start() && LogCompTriggerInit(loop.Get(), &config) == 0, "cannot start");
    const LOG_COMP_TRIGGER_REQ req =
        MakeReq(kId, c.option, c.begin, c.end, kLogDir + "/" + kArchive + ".gz");
    f.Check(LogCompTriggerPostTask(&req) == 0, "the post was refused");
    f.Check(loop.Run([] {}), "the dispatch did not run");
    // A failed dispatch is logged by now; only a task the executor took can still answer.
    bool dispatchFailed = false;
    for (const auto& r : ReadLogFile(kSinkFile)) {
        dispatchFailed =
            dispatchFailed || r.text.rfind("[fault]LogCompTriggerEventProc failed", 0) == 0;
    }
    if (c.expect.result != kNoResult && !dispatchFailed) {
        f.Check(Results::WaitCount(1), "no result in time");
    }
    LogCompTriggerUninit();
    f.Check(loop.Run([] {}) && loop.Run([] {}), "the release did not run");
    loop.Stop();
    if (c.afterRequest) c.afterRequest();
    LogToStderr();
    const FaultPlan& p = c.plan;
    const bool planned = !p.failStartOf.empty() || !p.failSliceOf.empty() || p.beforeStart ||
                         p.beforeShell || p.pack != ShellFault::kNone ||
                         p.del != ShellFault::kNone || p.restore != ShellFault::kNone;
    f.Check(!planned || !FiredFaults().empty(), "the planned fault never happened");
    ClearFaultPlan();
    CheckOutcome(c.expect, f);
    {
        std::lock_guard<std::mutex> lock(gWrittenMu);
        expected.Merge(gWritten);
    }
    const Inventory inv = TakeInventory(kLogDir);
    f.Check(LostLines(expected, inv.lines).empty(), LostLines(expected, inv.lines));
    const auto records = ListDir(kLogDir + "/" + LOG_COMP_RECORD_DIR_NAME);
    f.Check(records.empty(), "records left: " + ::testing::PrintToString(records));
    f.Check(inv.tempFiles.empty(),
            "temporary file left: " + ::testing::PrintToString(inv.tempFiles));
    f.Check(inv.damaged.empty(), "damaged: " + ::testing::PrintToString(inv.damaged));
    for (const auto& half : inv.partialTars) {
        const std::string name = half.substr(0, half.find(':'));
        f.Check(Contains(c.expect.tolerated, name), "half archive: " + half);
    }
    CheckFiles(before, TakeSnapshot(kLogDir), c.expect, f);
    return f.Text();
}

}  // namespace rel
