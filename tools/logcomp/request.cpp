// package and compress: the station's request road, end to end. The request is posted from the
// main thread, answered on the library's threads, and stopped by a stop request when a signal
// comes; the library is shut down in its own order before the record is filled and printed.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "event/ev_host.h"
#include "fileUtils/file_compress_host.h"
#include "logCompress/LogCompTrigger.h"
#include "logCompress/LogNameRules.h"
#include "tools/logcomp/logcomp.h"

namespace logcomp {
namespace {

constexpr size_t kMaxReasons = 8;  // error lines kept for a dropped request

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

// A request's compression as the compressor reports it after every slice, on the worker
// thread. On a terminal the line is redrawn at most ten times a second; elsewhere a plain
// line is written when a file starts and then at most every two seconds.
class ProgressMeter {
  public:
    explicit ProgressMeter(Console& console) : console_(console) {}

    // bytesPlanned: 0 when the size is learnt as the files come.
    void Begin(uint32_t filesTotal, uint64_t bytesPlanned) {
        std::lock_guard<std::mutex> lock(mu_);
        filesTotal_ = filesTotal;
        bytesPlanned_ = bytesPlanned;
    }

    void Slice(const char* file, uint64_t bytesDone, uint64_t bytesTotal, int finished) {
        std::lock_guard<std::mutex> lock(mu_);
        const bool newFile = file_ != file;
        file_ = file;
        const std::string text = Text(bytesDone, bytesTotal);
        filesDone_ += finished == 1;
        bytesFinished_ += finished == 1 ? bytesTotal : 0;
        const auto now = std::chrono::steady_clock::now();
        const auto interval = std::chrono::milliseconds(console_.ProgressInPlace() ? 100 : 2000);
        if (!newFile && now - shown_ < interval) return;
        shown_ = now;
        console_.Progress(text);
    }

  private:
    std::string Text(uint64_t fileDone, uint64_t fileTotal) const {
        const uint64_t done = bytesFinished_ + fileDone;
        const uint64_t total = std::max(bytesFinished_ + fileTotal, bytesPlanned_);
        const std::string base = file_.substr(file_.rfind('/') + 1);  // npos + 1: all of it
        char text[512];
        std::snprintf(text, sizeof text, "compressing file %u of %u (%s): %s of %s done (%u%%)",
                      std::min(filesDone_ + 1, filesTotal_), filesTotal_, base.c_str(),
                      SizeText(done).c_str(), SizeText(total).c_str(),
                      total > 0 ? static_cast<unsigned>(done * 100 / total) : 100);
        return text;
    }

    Console& console_;
    std::mutex mu_;
    uint32_t filesTotal_ = 0, filesDone_ = 0;
    uint64_t bytesPlanned_ = 0, bytesFinished_ = 0;  // the latter of the files done
    std::string file_;
    std::chrono::steady_clock::time_point shown_{};
};

// The one request a run of the tool posts, and what became of it: the answer (on the worker,
// or on the loop for a waiting task), a drop after the hand-over (only logged: the
// dispatcher's failure line, compared as the sink's hook hands it over, after the error lines
// that led to it), and the first stop signal. The main thread waits; the others feed it.
class Request {
  public:
    Request(const Options& opts, Console& console)
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
    ~Request() { gWatched = nullptr; }

    void Answer(const LOG_COMP_TRIGGER_RES* res) {
        std::lock_guard<std::mutex> lock(mu_);
        if (res == nullptr || record_.id != res->strTaskId || Over()) return;
        answered_ = true;
        record_.result = res->result;
        record_.message = res->errMsg != nullptr ? res->errMsg : "";
        cv_.notify_all();
    }

    void Observe(int level, const std::string& text) {
        std::lock_guard<std::mutex> lock(mu_);
        if (level < LEVEL_ERROR || Over()) return;
        record_.dropped = text == failedLine_;
        if (record_.dropped) cv_.notify_all();
        if (!record_.dropped && record_.reasons.size() < kMaxReasons) {
            record_.reasons.push_back(text);
        }
    }

    // The library's shell commands run in a process group of their own, so a terminal's
    // second Ctrl-C reaches neither them nor, being taken here, the tool: the restore goes on.
    void Signal(int signo) {
        std::unique_lock<std::mutex> lock(mu_);
        const bool first = !signalled_;
        signalled_ = true;
        if (first && !Over()) record_.signal = signo;
        cv_.notify_all();
        lock.unlock();
        const std::string name = StopSignalName(signo);
        if (first) {
            console_.Note("%s: stopping the request%s...", name.c_str(),
                          record_.package ? "; what was packed is put back" : "");
        } else if (record_.package) {
            console_.Note(
                "%s: already stopping; waiting for the library to put the packed files"
                " back in %s and to answer",
                name.c_str(), LogDir());
        } else {
            console_.Note("%s: already stopping; waiting for the library's answer", name.c_str());
        }
    }

    // Posts the request and waits for its end; the first signal meanwhile posts a stop.
    void PostAndWait(const std::vector<LogFile>& files) {
        uint64_t bytes = 0;
        for (const LogFile& f : files) bytes += f.bytes;
        if (!files.empty()) Announce(files.size(), bytes);
        // A package compresses one archive, its size learnt as it grows.
        meter.Begin(record_.package ? 1 : static_cast<uint32_t>(files.size()),
                    record_.package ? 0 : bytes);
        FileCompressSetProgressHook(OnSlice);
        if (LogCompTriggerPostTask(&req) == 0) Wait();
        FileCompressSetProgressHook(nullptr);
        console_.EndProgress();
    }

    // Once the library is shut down: a request it never answered was dropped.
    RequestRecord Record() {
        std::lock_guard<std::mutex> lock(mu_);
        record_.dropped = !answered_;
        return record_;
    }

    const LOG_COMP_TRIGGER_REQ req;
    ProgressMeter meter;
    struct EvLoop* loop = nullptr;  // set before the trigger starts

  private:
    static void OnSlice(const char* file, uint64_t bytesDone, uint64_t bytesTotal, int finished) {
        if (Request* request = gWatched.load()) {
            request->meter.Slice(file, bytesDone, bytesTotal, finished);
        }
    }

    bool Over() const { return answered_ || record_.dropped; }

    void Announce(size_t files, uint64_t bytes) {
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

    void Wait() {
        std::unique_lock<std::mutex> lock(mu_);
        for (bool stopPosted = false;;) {
            cv_.wait(lock, [&] { return Over() || (record_.signal != 0 && !stopPosted); });
            if (Over()) return;
            stopPosted = true;
            lock.unlock();
            LOG_COMP_TRIGGER_REQ stop = req;
            stop.compressOption = LOG_COMPRESS_OPTION_STOP;
            if (LogCompTriggerPostTask(&stop) != 0) {
                console_.Error("the library refused the stop request; waiting for the result");
            }
            lock.lock();
        }
    }

    Console& console_;
    const std::string failedLine_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool answered_ = false;
    bool signalled_ = false;
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

// What became of the files, read on disk: each claim printed is checked there.
void Inspect(const Options& opts, const std::vector<LogFile>& files, RequestRecord* r) {
    r->logFiles = files.size();
    for (const LogFile& f : files) {
        if (!r->package) r->compressed.push_back({f.name, f.bytes, FileSize(f.path + ".gz")});
        if (r->package) r->restored += FileSize(f.path) == static_cast<int64_t>(f.bytes);
    }
    if (!r->package) return;
    r->archive = opts.output;
    r->archiveBytes = FileSize(opts.output);
    const bool made = r->result == LOG_COMP_TRIGGER_RESULT_SUCCESS && r->archiveBytes >= 0;
    if (made) r->members = CountMembers(opts.output);
    r->tarLeft = LeftTar(opts.output);
}

// 128 + the signal's number, as shells report it, when a signal stopped the request.
int ExitStatus(const RequestRecord& r) {
    if (r.result == LOG_COMP_TRIGGER_RESULT_SUCCESS && !r.dropped) return kExitOk;
    const bool stopped = r.dropped || r.result == LOG_COMP_TRIGGER_RESULT_REJECT;
    return r.signal != 0 && stopped ? 128 + r.signal : kExitFailed;
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
    if (outputFree) request.PostAndWait(files);
    LogCompTriggerUninit();
    host.Drain();  // the release queued by the uninit has run: the worker is joined
    host.Stop();   // the signal thread last: a signal during the shutdown is still taken
    if (!outputFree) {
        console.Error("%s", taken.c_str());
        return kExitUsage;
    }
    RequestRecord record = request.Record();
    Inspect(opts, files, &record);
    PrintRecord(console, record);
    PrintRecordJson(console, record, ExitStatus(record));
    return ExitStatus(record);
}

}  // namespace logcomp
