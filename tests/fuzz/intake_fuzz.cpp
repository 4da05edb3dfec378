// Fuzz target for the trigger's request intake: each chunk of the input becomes a request
// (LOG_COMP_TRIGGER_REQ) posted to a running trigger on the test fakes, and the loop is pumped
// until every task it started has ended; the compressor finishes at once and the shell runs
// nothing. Byte 0 of a chunk says how to build the request (bit 0: raw task id, bit 1: raw
// output path, bit 2: raw dates, bits 3-4: the option from the input, stop, package or
// compress-only, bit 5: no callback); the raw bytes of strTaskId, outputPath, beginTime,
// endTime and compressOption follow, and a field the chunk does not reach keeps a filler
// without any NUL, so raw text fields are often unterminated.
// A request lives in a heap block of exactly its size, freed once posted, so that reading past
// it or reading it later is caught by AddressSanitizer; reading past a text field into the
// next one is caught by what the requester hears: the id it was posted with, cut at 127 bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "logCompress/LogCompTriggerInternal.h"
#include "logCompress/LogNameRules.h"
#include "tests/support/fakes.h"

namespace {

constexpr size_t kRawBytes = offsetof(LOG_COMP_TRIGGER_REQ, cb);
const char* const kDates[] = {"2026-12-01", "2026-12-02", "2026-12-03", "2026/12/03",
                              "20261203",   "03-12-2026", "2026-11-20", "2026-11-31"};

std::mutex gMu;
std::set<std::string> gPostedIds;  // the ids of the current input's requests, as cut

void Check(bool ok, const char* what, const std::string& detail = "") {
    if (!ok) {
        fprintf(stderr, "intake_fuzz: %s: [%s]\n", what, detail.c_str());
        abort();
    }
}

void OnResult(const LOG_COMP_TRIGGER_RES* res) {
    Check(memchr(res->strTaskId, '\0', sizeof res->strTaskId) != nullptr, "unterminated id");
    {
        std::lock_guard<std::mutex> lock(gMu);
        Check(gPostedIds.count(res->strTaskId) == 1, "an id never posted", res->strTaskId);
    }
    const std::string msg = res->errMsg != nullptr ? res->errMsg : "<null>";
    Check(msg.empty() || msg == "log compress failed" || msg == "log compress cancelled",
          "unexpected errMsg", msg);
    Check(res->result >= 0 && res->result <= 3, "unexpected result", res->strTaskId);
}

// The fakes' records grow with every call: they start afresh with every input.
void ResetFakes() {
    fakes::ResetAll();
    fakes::SetNow(fakes::MakeUtc(2026, 12, 3, 12));
}

// A fresh trigger over three days of empty logs.
void Restart() {
    LogCompTriggerUninit();
    fakes::PumpLoop();
    ResetFakes();
    for (const char* day : {"2026-12-01", "2026-12-02", "2026-12-03"}) {
        for (const char* rule : {LOG_NAME_RULE_FORMATS}) {
            char name[64];
            snprintf(name, sizeof name, rule, day);
            if (FILE* f = fopen((std::string(LCTLogDirWord()) + "/" + name).c_str(), "w"))
                fclose(f);
        }
    }
    LOG_COMP_TRIGGER_CONFIG config{{2, 0, 0}, nullptr};
    Check(LogCompTriggerInit(fakes::Loop(), &config) == 0, "the trigger did not start");
}

void Build(const uint8_t* chunk, size_t size, LOG_COMP_TRIGGER_REQ* req) {
    memset(req, 'Z', kRawBytes);
    if (size > 1) memcpy(req, chunk + 1, std::min(size - 1, kRawBytes));
    const uint8_t how = chunk[0];
    if ((how & 1) == 0) {
        snprintf(req->strTaskId, sizeof req->strTaskId, "id%u", chunk[1 % size] % 8u);
    }
    if ((how & 2) == 0) {
        snprintf(req->outputPath, sizeof req->outputPath, "%s/out%u.tar.gz", LCTLogDirWord(),
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
    static int inputs = 0;
    if (inputs++ % 256 == 0) Restart();  // keeps the trigger's state bounded
    for (int n = 0; n < 4 && size > 0; ++n) {
        const size_t len = std::min(size, 1 + kRawBytes);
        auto req = std::make_unique<LOG_COMP_TRIGGER_REQ>();
        Build(data, len, req.get());
        {
            std::lock_guard<std::mutex> lock(gMu);
            gPostedIds.emplace(req->strTaskId, strnlen(req->strTaskId, sizeof req->strTaskId - 1));
        }
        (void)LogCompTriggerPostTask(req.get());
        req.reset();
        Check(fakes::PumpUntil([] { return HASH_COUNT(sLogCompTriggerObj.pTaskMap) == 0; },
                               std::chrono::milliseconds(5000)),
              "a task never ended");
        data += len;
        size -= len;
    }
    // What this input allocated is freed before it ends, for the fuzzer's leak check.
    {
        std::lock_guard<std::mutex> lock(gMu);
        gPostedIds.clear();
    }
    ResetFakes();
    return 0;
}
