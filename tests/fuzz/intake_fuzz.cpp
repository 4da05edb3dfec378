// Fuzz target for the trigger's request intake on the fakes: each chunk of the input is a
// request, posted from a heap block of its exact size that is freed at once (AddressSanitizer
// sees any read past it or after it), then the loop is pumped until every task ended. Byte 0
// of a chunk says which fields keep the raw bytes (bit 0: id, bit 1: output path, bit 2:
// dates; the others get valid ones), bits 3-4 the option, bit 5: no callback.
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "logCompress/LogCompTriggerInternal.h"
#include "tests/support/fakes.h"

namespace {

std::map<std::string, int> gUnanswered;  // per id as posted (cut at 127): accepted less answered

void OnResult(const LOG_COMP_TRIGGER_RES* res) {
    if (memchr(res->strTaskId, '\0', sizeof res->strTaskId) == nullptr ||
        --gUnanswered[res->strTaskId] < 0 || res->result < 0 || res->result > 3)
        abort();  // answered twice or never asked, or a result no host knows
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static LOG_COMP_TRIGGER_CONFIG config{{2, 0, 0}, nullptr};
    static const int started = LogCompTriggerInit(fakes::Loop(), &config);
    if (started != 0) abort();
    fakes::SetNow(fakes::MakeUtc(2026, 12, 3, 12));
    for (size_t len; size > 0; data += len, size -= len) {
        len = std::min(size, 1 + offsetof(LOG_COMP_TRIGGER_REQ, cb));
        auto req = std::make_unique<LOG_COMP_TRIGGER_REQ>();
        memcpy(req.get(), data + 1, len - 1);
        const auto set = [&](int bit, auto& field, const char* format, auto value) {
            if ((data[0] & bit) == 0) snprintf(field, sizeof field, format, value);
        };
        set(1, req->strTaskId, "id%d", data[1 % len] % 8);
        set(2, req->outputPath, "%s/o.tar.gz", LCTLogDirWord());
        set(4, req->beginTime, "2026-12-%02d", data[2 % len] % 32);
        set(4, req->endTime, "2026-12-%02d", data[3 % len] % 32);
        if ((data[0] >> 3) & 3) req->compressOption = ((data[0] >> 3) & 3) - 1;
        req->cb = (data[0] & 32) != 0 ? nullptr : &OnResult;
        const std::string id(req->strTaskId, strnlen(req->strTaskId, sizeof req->strTaskId - 1));
        if (LogCompTriggerPostTask(req.get()) == 0 && req->cb != nullptr) ++gUnanswered[id];
        req.reset();
        if (!fakes::PumpUntil([] { return HASH_COUNT(sLogCompTriggerObj.pTaskMap) == 0; }))
            abort();  // a task never ended
    }
    gUnanswered.clear();  // what this input allocated is freed before it ends, for the leak check
    fakes::ResetAll();
    return 0;
}
