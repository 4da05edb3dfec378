// package and compress: the station's request road, end to end. The request is posted from the
// main thread, answered on the library's threads, and stopped by a stop request when a signal
// comes; the library is shut down in its own order before the record is filled and printed.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>

#include "event/ev_host.h"
#include "fileUtils/file_compress_host.h"
#include "fileUtils/file_utils.h"
#include "logCompress/LogCompTrigger.h"
#include "logCompress/LogNameRules.h"
#include "tools/logcomp/console.h"
#include "tools/logcomp/host.h"
#include "tools/logcomp/logcomp.h"

namespace logcomp {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxReasons = 8;  // error lines kept for a dropped request
constexpr size_t kBlock = 512;     // tar header and data blocks
constexpr size_t kNamesShown = 3;  // of the logs a leftover ".tar" alone holds

struct LogFile {
    std::string name;  // e.g. "2026-12-03-csms.log"
    std::string path;
    uint64_t bytes;
};

// Size of a file, or -1 when it does not exist.
int64_t FileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

// The existing regular files of each date under the day's name rules, in the library's order:
// to refuse a range without logs clearly, and to know the work ahead.
std::vector<LogFile> FindLogFiles(const std::vector<std::string>& dates) {
    static const char* const kRules[] = {LOG_NAME_RULE_FORMATS};
    std::vector<LogFile> files;
    for (const std::string& date : dates) {
        for (const char* rule : kRules) {
            char name[128];
            std::snprintf(name, sizeof name, rule, date.c_str());
            const std::string path = std::string(LogDir()) + "/" + name;
            struct stat st {};
            if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            files.push_back({name, path, static_cast<uint64_t>(st.st_size)});
        }
    }
    return files;
}

std::string TarOf(const std::string& archive) {
    return archive.substr(0, archive.size() - 3);  // without ".gz"
}

std::string ShellWord(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Members of a tar.gz as tar lists them; -1 when tar cannot read it. The shell counts: a
// listing can outgrow any buffer.
long CountMembers(const std::string& archive) {
    const std::string cmd = "(tar -tzf " + ShellWord(archive) +
                            " 2>/dev/null; echo $?) | awk 'END { print $0 ? -1 : NR - 1 }'";
    char out[32];
    return FILE_system(cmd.c_str(), out, sizeof out) == 0 ? std::strtol(out, nullptr, 10) : -1;
}

// A leftover ".tar" is read with a walk over its headers: enough to list its members and to
// tell a cut copy, without a tar process.
struct TarWalk {
    std::vector<std::string> names;  // of the members, in order
    bool whole = false;              // reaches the end-of-archive block
};

unsigned long long Octal(const unsigned char* field, size_t len) {
    const std::string text(reinterpret_cast<const char*>(field), len);
    return std::strtoull(text.c_str(), nullptr, 8);
}

// Sizes of 8 GiB and more are base-256: the first byte's high bit set.
unsigned long long MemberSize(const unsigned char* h) {
    if ((h[124] & 0x80) == 0) return Octal(h + 124, 12);
    unsigned long long size = 0;
    for (size_t i = 125; i < 136; ++i) size = size << 8 | h[i];
    return size;
}

bool IsHeader(const unsigned char* h) {
    unsigned long long sum = 0;
    for (size_t i = 0; i < kBlock; ++i) sum += i >= 148 && i < 156 ? ' ' : h[i];
    return sum == Octal(h + 148, 8);
}

// A cut copy ends before the zero block that ends an archive, and so does a file that is no
// archive.
TarWalk WalkTar(const std::string& path) {
    TarWalk walk;
    std::ifstream in(path, std::ios::binary);
    unsigned char h[kBlock];
    while (in.read(reinterpret_cast<char*>(h), kBlock)) {
        if (std::all_of(h, h + kBlock, [](unsigned char c) { return c == 0; })) {
            walk.whole = true;
            break;
        }
        if (!IsHeader(h)) break;
        walk.names.emplace_back(reinterpret_cast<const char*>(h),
                                strnlen(reinterpret_cast<const char*>(h), 100));
        const unsigned long long blocks = (MemberSize(h) + kBlock - 1) / kBlock;
        in.seekg(static_cast<std::streamoff>(blocks * kBlock), std::ios::cur);
    }
    return walk;
}

// The only copy of some logs: never advise removing it.
std::string KeepAdvice(const std::string& tar, const TarWalk& walk,
                       const std::vector<std::string>& missing) {
    std::string shown;
    for (size_t i = 0; i < missing.size() && i < kNamesShown; ++i) shown += ", " + missing[i];
    if (missing.size() > kNamesShown) shown += ", ...";
    const char* files = missing.size() == 1 ? " log file" : " log files";
    return " and holds " + std::to_string(missing.size()) + files + " no longer in " + LogDir() +
           " (" + shown.substr(2) + ")" +
           (walk.whole ? "" : "; it ends early, so the last may come back cut") +
           ": keep it. To put them back without replacing any file: tar -xkf " + ShellWord(tar) +
           " -C " + ShellWord(LogDir()) + "; or choose another name";
}

// What a ".tar" left at the output is; removal is advised only when its logs are all still in
// the log directory.
std::string LeftoverAdvice(const std::string& tar) {
    const TarWalk walk = WalkTar(tar);
    std::vector<std::string> missing;
    std::error_code ec;
    for (const std::string& name : walk.names) {
        if (!fs::exists(fs::symlink_status(std::string(LogDir()) + "/" + name, ec))) {
            missing.push_back(name);
        }
    }
    if (!missing.empty()) return KeepAdvice(tar, walk, missing);
    const std::string what =
        walk.whole ? ", a copy of logs all still in " + std::string(LogDir())
        : walk.names.empty()
            ? ", not a whole archive, and it names no log file"
            : ", a cut copy (it ends early) of logs all still in " + std::string(LogDir());
    return what + "; remove it or choose another name";
}

// Neither the archive nor its ".tar" may exist: packing would overwrite them. Checked once the
// library has resolved what an interrupted package left.
bool CheckOutputFree(const std::string& archive, std::string* error) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(archive, ec))) {
        *error = "bad --output: " + archive + " already exists; remove it or choose another name";
        return false;
    }
    const std::string tar = TarOf(archive);
    if (!fs::exists(fs::symlink_status(tar, ec))) return true;
    *error = "bad --output: " + tar + " already exists" + LeftoverAdvice(tar);
    return false;
}

class Request;

// The library's result and allowed callbacks and the compressor's progress hook take no user
// pointer: they reach the request being watched through this one.
std::atomic<Request*> gWatched{nullptr};

void OnResult(const LOG_COMP_TRIGGER_RES* res);

LOG_COMP_TRIGGER_REQ MakeRequest(const Options& opts) {
    LOG_COMP_TRIGGER_REQ req{};
    std::snprintf(req.strTaskId, sizeof req.strTaskId, "%s", opts.id.c_str());
    std::snprintf(req.outputPath, sizeof req.outputPath, "%s", opts.output.c_str());
    std::snprintf(req.beginTime, sizeof req.beginTime, "%s", opts.from.c_str());
    std::snprintf(req.endTime, sizeof req.endTime, "%s", opts.to.c_str());
    req.compressOption = opts.command == Command::kPackage ? LOG_COMPRESS_OPTION_FULL
                                                           : LOG_COMPRESS_OPTION_ONLY_COMPRESS;
    req.cb = OnResult;
    return req;
}

// The one request a run of the tool posts, and what became of it: the answer (on the worker,
// or on the loop for a waiting task), a drop after the hand-over (only logged: the
// dispatcher's failure line, compared as the sink's hook hands it over, with the error lines
// before it), and the first stop signal. The main thread waits; the other threads feed it.
class Request {
  public:
    Request(const Options& opts, Console& console);
    ~Request() { gWatched = nullptr; }

    void Answer(const LOG_COMP_TRIGGER_RES* res);
    void Observe(int level, const std::string& text);
    void Signal(int signo);
    // Posts the request and waits for its end: nothing when the post was refused.
    std::optional<RequestRecord> PostAndWait(const std::vector<LogFile>& files);
    // The record of a request never answered.
    RequestRecord Dropped();

    const LOG_COMP_TRIGGER_REQ req;
    ProgressMeter meter;
    struct EvLoop* loop = nullptr;  // set before the trigger starts

  private:
    bool Over() const { return answered_ || record_.dropped; }
    void Announce(size_t files, uint64_t bytes);
    RequestRecord Wait();
    void PostStop();

    Console& console_;
    const std::string failedLine_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool answered_ = false;
    RequestRecord record_;
};

void OnResult(const LOG_COMP_TRIGGER_RES* res) {
    if (Request* request = gWatched.load()) request->Answer(res);
}

// A one-shot request must not have the daily run start behind it: the daily tick asks on the
// loop thread, while the tool posts from its main thread.
bool AllowedOffLoop() {
    Request* request = gWatched.load();
    return request == nullptr || request->loop == nullptr || !EvLoopIsLoopThread(request->loop);
}

void OnSlice(const char* file, uint64_t bytesDone, uint64_t bytesTotal, int finished) {
    if (Request* request = gWatched.load()) {
        request->meter.Slice(file, bytesDone, bytesTotal, finished);
    }
}

Request::Request(const Options& opts, Console& console)
    : req(MakeRequest(opts)),
      meter(console),
      console_(console),
      failedLine_("[" + std::string(req.strTaskId) +
                  "]LogCompTriggerEventProc failed, compressOption " +
                  std::to_string(req.compressOption)) {
    record_.id = req.strTaskId;  // as the library keeps it
    record_.package = opts.command == Command::kPackage;
    record_.first = opts.dates.front();
    record_.last = opts.dates.back();
    gWatched = this;
}

void Request::Answer(const LOG_COMP_TRIGGER_RES* res) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (res == nullptr || record_.id != res->strTaskId || answered_) return;
        answered_ = true;
        record_.result = res->result;
        record_.message = res->errMsg != nullptr ? res->errMsg : "";
    }
    cv_.notify_all();
}

void Request::Observe(int level, const std::string& text) {
    if (level < LEVEL_ERROR) return;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (Over()) return;
        if (text != failedLine_) {
            if (record_.reasons.size() < kMaxReasons) record_.reasons.push_back(text);
            return;
        }
        record_.dropped = true;
    }
    cv_.notify_all();
}

// The library's shell commands run in a process group of their own, so a terminal's second
// Ctrl-C reaches neither them nor, being taken here, the tool: the restore goes on.
void Request::Signal(int signo) {
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        first = record_.signal == 0;
        if (first) record_.signal = signo;
    }
    const char* name = StopSignalName(signo);
    if (first) {
        cv_.notify_all();
        console_.Note("%s: stopping the request%s...", name,
                      record_.package ? "; what was packed is put back" : "");
    } else if (record_.package) {
        console_.Note(
            "%s: already stopping; waiting for the library to put the packed files back"
            " in %s and to answer",
            name, LogDir());
    } else {
        console_.Note("%s: already stopping; waiting for the library's answer", name);
    }
}

std::optional<RequestRecord> Request::PostAndWait(const std::vector<LogFile>& files) {
    uint64_t bytes = 0;
    for (const LogFile& f : files) bytes += f.bytes;
    if (!files.empty()) Announce(files.size(), bytes);
    // A package compresses one archive, its size learnt as it grows.
    meter.Begin(record_.package ? 1 : static_cast<uint32_t>(files.size()),
                record_.package ? 0 : bytes);
    FileCompressSetProgressHook(OnSlice);
    std::optional<RequestRecord> ended;
    if (LogCompTriggerPostTask(&req) == 0) ended = Wait();
    FileCompressSetProgressHook(nullptr);
    console_.EndProgress();
    return ended;
}

void Request::Announce(size_t files, uint64_t bytes) {
    const char* first = record_.first.c_str();
    const char* last = record_.last.c_str();
    if (record_.package) {
        console_.Note("packing %zu log files (%s) of %s to %s from %s into %s", files,
                      SizeText(bytes).c_str(), first, last, LogDir(), req.outputPath);
    } else {
        console_.Note("compressing %zu log files (%s) of %s to %s in %s", files,
                      SizeText(bytes).c_str(), first, last, LogDir());
    }
}

// The first signal meanwhile posts a stop request, and the wait goes on for the answer.
RequestRecord Request::Wait() {
    std::unique_lock<std::mutex> lock(mu_);
    bool stopPosted = false;
    for (;;) {
        cv_.wait(lock, [&] { return Over() || (record_.signal != 0 && !stopPosted); });
        if (Over()) return record_;
        stopPosted = true;
        lock.unlock();
        PostStop();
        lock.lock();
    }
}

void Request::PostStop() {
    LOG_COMP_TRIGGER_REQ stop = req;
    stop.compressOption = LOG_COMPRESS_OPTION_STOP;
    if (LogCompTriggerPostTask(&stop) != 0) {
        console_.Error("the library refused the stop request; waiting for the result");
    }
}

RequestRecord Request::Dropped() {
    std::lock_guard<std::mutex> lock(mu_);
    record_.dropped = true;
    return record_;
}

// The host and the trigger; once this returns, the trigger's init has resolved what an
// interrupted package of an earlier process left (it queues that to the loop before any
// request).
bool StartLibrary(Host& host, Request& request, Console& console) {
    if (!host.Start()) return false;
    request.loop = host.Loop();
    LOG_COMP_TRIGGER_CONFIG config{{0, 0, 0}, AllowedOffLoop};
    if (LogCompTriggerInit(host.Loop(), &config) != 0) {
        console.Error("the library did not start (see its log above)");
        return false;
    }
    host.Drain();
    return true;
}

// What became of the files, checked on disk: each claim printed is.
void Inspect(const Options& opts, const std::vector<LogFile>& files, RequestRecord* r) {
    r->noLogFiles = files.empty();
    for (const LogFile& f : files) {
        if (!r->package) r->compressed.push_back({f.name, f.bytes, FileSize(f.path + ".gz")});
        if (r->package) r->restored += FileSize(f.path) == static_cast<int64_t>(f.bytes);
    }
    if (!r->package) return;
    r->packed = files.size();
    r->archive = opts.output;
    r->archiveBytes = FileSize(opts.output);
    const bool made = r->result == LOG_COMP_TRIGGER_RESULT_SUCCESS && r->archiveBytes >= 0;
    if (made) r->members = CountMembers(opts.output);
    if (FileSize(TarOf(opts.output)) >= 0) r->tarLeft = TarOf(opts.output);
}

int ExitStatus(const RequestRecord& r) {
    if (r.result == LOG_COMP_TRIGGER_RESULT_SUCCESS && !r.dropped) return kExitOk;
    const bool stopped = r.dropped || r.result == LOG_COMP_TRIGGER_RESULT_REJECT;
    return r.signal != 0 && stopped ? ExitStatusAfter(r.signal) : kExitFailed;
}

}  // namespace

int RunRequest(const Options& opts, Console& console) {
    Request request(opts, console);  // outlives the host, whose threads feed it
    Host host(console, opts.logLevel,
              [&request](int level, const std::string& text) { request.Observe(level, text); });
    if (!StartLibrary(host, request, console)) return kExitFailed;
    std::string taken;
    const bool outputFree =
        opts.command != Command::kPackage || CheckOutputFree(opts.output, &taken);
    // Without log files the library drops the request: the tool reports that drop.
    const std::vector<LogFile> files = FindLogFiles(opts.dates);
    if (outputFree) host.StartSignals([&request](int signo) { request.Signal(signo); });
    const std::optional<RequestRecord> ended =
        outputFree ? request.PostAndWait(files) : std::nullopt;
    LogCompTriggerUninit();
    host.Drain();  // the release queued by the uninit has run: the worker is joined
    host.Stop();   // the signal thread last: a signal during the shutdown is still taken
    if (!outputFree) {
        console.Error("%s", taken.c_str());
        return kExitUsage;
    }
    RequestRecord record = ended ? *ended : request.Dropped();
    Inspect(opts, files, &record);
    PrintRecord(console, record);
    return ExitStatus(record);
}

}  // namespace logcomp
