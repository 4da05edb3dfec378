// Fuzz target for the trigger's request intake: each chunk of the input becomes a request
// posted to a running trigger on the test fakes, and the loop is pumped until every task it
// started has ended. Byte 0 of a chunk says which fields keep the chunk's raw bytes (bit 0:
// task id, bit 1: output path, bit 2: dates; the others get a valid value picked by the bytes),
// bits 3-4 the option (from the input, stop, package or compress-only), bit 5: no callback.
// A request lives in a heap block of exactly its size, freed once posted, so that reading past
// it or reading it later is caught by AddressSanitizer; reading past a text field into the
// next one is caught by what the requester hears: the id it was posted with, cut at 127 bytes.
#include <algorithm>
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
        !(msg.empty() || msg == "log compress failed" || msg == "log compress cancelled"))
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int inputs = 0;
    if (inputs++ % 256 == 0) {  // a fresh trigger over three days of empty logs
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
    fakes::SetNow(fakes::MakeUtc(2026, 12, 3, 12));
    for (int n = 0; n < 4 && size > 0; ++n) {
        const size_t len = std::min(size, 1 + kRawBytes);
        const auto at = [&](size_t i) { return data[i % len]; };
        auto req = std::make_unique<LOG_COMP_TRIGGER_REQ>();
        memset(req.get(), 'Z', kRawBytes);
        memcpy(req.get(), data + 1, len - 1);
        const auto set = [&](int bit, char* field, size_t cap, std::string text) {
            if ((data[0] & bit) == 0) snprintf(field, cap, "%s", text.c_str());
        };
        set(1, req->strTaskId, sizeof req->strTaskId, "id" + std::to_string(at(1) % 8));
        set(2, req->outputPath, sizeof req->outputPath,
            std::string(LCTLogDirWord()) + "/out" + std::to_string(at(2) % 4) + ".tar.gz");
        set(4, req->beginTime, sizeof req->beginTime, kDates[at(3) % 8]);
        set(4, req->endTime, sizeof req->endTime, kDates[at(4) % 8]);
        if ((data[0] >> 3) & 3) req->compressOption = ((data[0] >> 3) & 3) - 1;
        req->cb = (data[0] & 32) != 0 ? nullptr : &OnResult;
        gPostedIds.emplace(req->strTaskId, strnlen(req->strTaskId, sizeof req->strTaskId - 1));
        (void)LogCompTriggerPostTask(req.get());
        req.reset();
        if (!fakes::PumpUntil([] { return HASH_COUNT(sLogCompTriggerObj.pTaskMap) == 0; }))
            abort();  // a task never ended
        data += len;
        size -= len;
    }
    gPostedIds.clear();  // what this input allocated is freed before it ends, for the leak check
    fakes::ResetAll();
    return 0;
}
