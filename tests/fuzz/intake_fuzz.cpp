// Fuzz target for the trigger's request intake: each chunk of the input becomes a request
// posted to a running trigger on the test fakes, and the loop is pumped until every task it
// started has ended. Byte 0 of a chunk says how to build the request (bit 0: raw task id,
// bit 1: raw output path, bit 2: raw dates, bits 3-4: the option from the input, stop, package
// or compress-only, bit 5: no callback); the raw bytes of the request's text fields and option
// follow, and a field the chunk does not reach keeps a filler without any NUL.
// A request lives in a heap block of exactly its size, freed once posted, so that reading past
// it or reading it later is caught by AddressSanitizer; reading past a text field into the
// next one is caught by what the requester hears: the id it was posted with, cut at 127 bytes.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "logCompress/LogCompTriggerInternal.h"
#include "logCompress/LogNameRules.h"
#include "tests/support/fakes.h"

namespace {

constexpr size_t kRawBytes = offsetof(LOG_COMP_TRIGGER_REQ, cb);
const char* const kDates[] = {"2026-12-01", "2026-12-02", "2026-12-03", "2026/12/03",
                              "20261203",   "03-12-2026", "2026-11-20", "2026-11-31"};
std::set<std::string> gPostedIds;  // the ids of the current input's requests, as cut

// Answers come from the executor while the input waits for its task, so the set is still.
void OnResult(const LOG_COMP_TRIGGER_RES* res) {
    const std::string msg = res->errMsg != nullptr ? res->errMsg : "<null>";
    if (memchr(res->strTaskId, '\0', sizeof res->strTaskId) == nullptr ||
        gPostedIds.count(res->strTaskId) == 0 || res->result < 0 || res->result > 3 ||
        !(msg.empty() || msg == "log compress failed" || msg == "log compress cancelled")) {
        fprintf(stderr, "intake_fuzz: unexpected answer [%.128s] %d [%s]\n", res->strTaskId,
                res->result, msg.c_str());
        abort();
    }
}

// A fresh trigger over three days of empty logs; the fakes' records start afresh too.
void Restart() {
    LogCompTriggerUninit();
    fakes::PumpLoop();
    fakes::ResetAll();
    for (const char* day : {"2026-12-01", "2026-12-02", "2026-12-03"}) {
        for (const char* rule : {LOG_NAME_RULE_FORMATS}) {
            char name[64];
            snprintf(name, sizeof name, rule, day);
            if (FILE* f = fopen((std::string(LCTLogDirWord()) + "/" + name).c_str(), "w"))
                fclose(f);
        }
    }
    LOG_COMP_TRIGGER_CONFIG config{{2, 0, 0}, nullptr};
    if (LogCompTriggerInit(fakes::Loop(), &config) != 0) abort();
}

void Build(const uint8_t* chunk, size_t size, LOG_COMP_TRIGGER_REQ* req) {
    memset(req, 'Z', kRawBytes);
    if (size > 1) memcpy(req, chunk + 1, std::min(size - 1, kRawBytes));
    const uint8_t how = chunk[0];
    if ((how & 1) == 0)
        snprintf(req->strTaskId, sizeof req->strTaskId, "id%u", chunk[1 % size] % 8u);
    if ((how & 2) == 0) {
        snprintf(req->outputPath, sizeof req->outputPath, "%s/out%u.tar.gz", LCTLogDirWord(),
                 chunk[2 % size] % 4u);
    }
    if ((how & 4) == 0) {
        snprintf(req->beginTime, sizeof req->beginTime, "%s", kDates[chunk[3 % size] % 8]);
        snprintf(req->endTime, sizeof req->endTime, "%s", kDates[chunk[4 % size] % 8]);
    }
    if ((how >> 3) & 3) req->compressOption = ((how >> 3) & 3) - 1;  // stop, package, compress
    req->cb = (how & 32) != 0 ? nullptr : &OnResult;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int inputs = 0;
    if (inputs++ % 256 == 0) Restart();  // keeps the trigger's state bounded
    fakes::SetNow(fakes::MakeUtc(2026, 12, 3, 12));
    for (int n = 0; n < 4 && size > 0; ++n) {
        const size_t len = std::min(size, 1 + kRawBytes);
        auto req = std::make_unique<LOG_COMP_TRIGGER_REQ>();
        Build(data, len, req.get());
        gPostedIds.emplace(req->strTaskId, strnlen(req->strTaskId, sizeof req->strTaskId - 1));
        (void)LogCompTriggerPostTask(req.get());
        req.reset();
        if (!fakes::PumpUntil([] { return HASH_COUNT(sLogCompTriggerObj.pTaskMap) == 0; },
                              std::chrono::milliseconds(5000))) {
            abort();  // a task never ended
        }
        data += len;
        size -= len;
    }
    gPostedIds.clear();  // what this input allocated is freed before it ends, for the leak check
    fakes::ResetAll();
    return 0;
}
