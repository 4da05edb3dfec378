// Fuzz target for the trigger's request intake: arbitrary bytes become requests
// (LOG_COMP_TRIGGER_REQ), posted to a running trigger on the test fakes, each followed by a
// pump of the loop until every task it started has ended. The compressor finishes at once and
// the shell only pretends to pack. Each request is built from one chunk of the input:
//   byte 0: how to build it (bit 0: raw task id, bit 1: raw output path, bit 2: raw dates,
//           bits 3-4: option from the input, stop, package or compress-only, bit 5: no callback)
//   then the raw bytes of strTaskId, outputPath, beginTime, endTime and compressOption in
//   that order; a field the chunk does not reach keeps a filler without any NUL, so raw text
//   fields are often unterminated.
// Requests are built in a heap block of exactly their size, so reading past the record is
// caught by AddressSanitizer; reading past a text field into the next one is caught by the
// checks on what the requester hears: the task id it gets back is the posted id, cut where
// the library must cut it. The trigger is stopped and started again every few hundred inputs
// to keep the state bounded.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "logCompress/LogCompTrigger.h"
#include "logCompress/LogNameRules.h"
#include "logCompress/LogCompTriggerInternal.h"
#include "tests/fakes/fakes.h"

namespace {

constexpr size_t kRawBytes = offsetof(LOG_COMP_TRIGGER_REQ, cb);
constexpr size_t kChunk = 1 + kRawBytes;
constexpr int kMaxRequests = 4;
constexpr int kInputsPerRun = 256;
constexpr char kFiller = 'Z';
const char* const kDates[] = {"2026-12-01", "2026-12-02", "2026-12-03", "2026/12/03",
                              "20261203",   "03-12-2026", "2026-11-20", "2026-11-31"};

std::mutex gMu;
std::set<std::string> gPostedIds;  // the ids of the requests of the current input, as cut

[[noreturn]] void Fail(const char* what, const std::string& detail) {
    fprintf(stderr, "intake_fuzz: %s: [%s]\n", what, detail.c_str());
    abort();
}

// The requester must get back a terminated id that it posted, and one of the fixed texts.
void OnResult(const LOG_COMP_TRIGGER_RES* res) {
    if (memchr(res->strTaskId, '\0', sizeof res->strTaskId) == nullptr) {
        Fail("unterminated task id in a result", "");
    }
    {
        std::lock_guard<std::mutex> lock(gMu);
        if (gPostedIds.count(res->strTaskId) == 0)
            Fail("a result for an id never posted", res->strTaskId);
    }
    const std::string msg = res->errMsg != nullptr ? res->errMsg : "<null>";
    if (msg != "" && msg != "log compress failed" && msg != "log compress cancelled") {
        Fail("unexpected errMsg", msg);
    }
    if (res->result < 0 || res->result > 3 || res->progress != 100 || res->mode != 0) {
        Fail("unexpected result record", res->strTaskId);
    }
}

// The log directory as the library sees it (its shell word is the plain path here).
std::string LogDir() {
    const std::string word = LCTLogDirWord();
    return word.empty() || word[0] == '\'' ? "" : word;
}

// Pretends to pack: creates the archive when the command names one by a plain absolute path
// inside the log directory, so that a package request can reach the executor.
int FakeShell(const std::string& cmd, std::string& out) {
    out = "fake shell";
    const std::string tar = "tar -cvf ";
    const size_t at = cmd.find(tar);
    if (at == std::string::npos) return 0;
    const std::string path =
        cmd.substr(at + tar.size(), cmd.find(' ', at + tar.size()) - at - tar.size());
    const std::string dir = LogDir();
    if (!dir.empty() && path.rfind(dir + "/", 0) == 0 && path.find('\'') == std::string::npos) {
        if (FILE* f = fopen(path.c_str(), "w")) fclose(f);
    }
    return 0;
}

void Start() {
    LOG_COMP_TRIGGER_CONFIG config{{2, 0, 0}, nullptr};
    if (LogCompTriggerInit(fakes::Loop(), &config) != 0) Fail("the trigger did not start", "");
}

// The fakes' records grow with every call; they start afresh with every run of the trigger.
void ResetFakes() {
    fakes::ResetAll();
    fakes::SetNow(fakes::MakeUtc(2026, 12, 3, 12));
    fakes::ShellSetHook(&FakeShell);
}

void Stop() {
    LogCompTriggerUninit();
    fakes::PumpLoop();
    ResetFakes();
}

void SetUpOnce() {
    ResetFakes();
    const std::string dir = LogDir();
    for (const char* day : {"2026-12-01", "2026-12-02", "2026-12-03"}) {
        for (const char* rule : {LOG_NAME_RULE_FORMATS}) {
            char name[64];
            snprintf(name, sizeof name, rule, day);
            if (FILE* f = fopen((dir + "/" + name).c_str(), "w")) fclose(f);
        }
    }
    Start();
}

// The id as the library must keep it: up to the first NUL, and never more than 127 bytes.
std::string CutId(const char (&id)[128]) {
    return std::string(id, strnlen(id, sizeof id - 1));
}

void Build(const uint8_t* chunk, size_t size, LOG_COMP_TRIGGER_REQ* req) {
    memset(req, kFiller, kRawBytes);
    if (size > 1) memcpy(req, chunk + 1, std::min(size - 1, kRawBytes));
    const uint8_t how = chunk[0];
    if ((how & 1) == 0)
        snprintf(req->strTaskId, sizeof req->strTaskId, "id%u", chunk[1 % size] % 8u);
    if ((how & 2) == 0) {
        snprintf(req->outputPath, sizeof req->outputPath, "%s/out%u.tar.gz", LogDir().c_str(),
                 chunk[2 % size] % 4u);
    }
    if ((how & 4) == 0) {
        snprintf(req->beginTime, sizeof req->beginTime, "%s", kDates[chunk[3 % size] % 8]);
        snprintf(req->endTime, sizeof req->endTime, "%s", kDates[chunk[4 % size] % 8]);
    }
    const int options[] = {req->compressOption, LOG_COMPRESS_OPTION_STOP, LOG_COMPRESS_OPTION_FULL,
                           LOG_COMPRESS_OPTION_ONLY_COMPRESS};
    req->compressOption = options[(how >> 3) & 3];
    req->cb = (how & 32) != 0 ? nullptr : &OnResult;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (SetUpOnce(), true);
    static int inputs = 0;
    (void)ready;
    if (++inputs % kInputsPerRun == 0) {
        Stop();
        Start();
    }
    for (int n = 0; n < kMaxRequests && size > 0; ++n) {
        const size_t len = std::min(size, kChunk);
        auto req = std::make_unique<LOG_COMP_TRIGGER_REQ>();
        Build(data, len, req.get());
        {
            std::lock_guard<std::mutex> lock(gMu);
            gPostedIds.insert(CutId(req->strTaskId));
        }
        (void)LogCompTriggerPostTask(req.get());
        req.reset();  // the intake copied what it needs: nothing may read the request later
        if (!fakes::PumpUntil([] { return HASH_COUNT(sLogCompTriggerObj.pTaskMap) == 0; },
                              std::chrono::milliseconds(5000))) {
            Fail("a task never ended", "");
        }
        data += len;
        size -= len;
    }
    // Whatever this input allocated is freed again before it ends, so that the fuzzer's leak
    // check (which runs when an input leaves more blocks than it found) finds nothing to do.
    {
        std::lock_guard<std::mutex> lock(gMu);
        gPostedIds.clear();
    }
    ResetFakes();
    return 0;
}
