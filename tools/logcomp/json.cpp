// What a package or compress request came to, as one JSON object for a back office: the facts
// of the text report, with the numbers whole and null for what is unknown.
#include <nlohmann/json.hpp>

#include "logCompress/LogCompTrigger.h"
#include "tools/logcomp/logcomp.h"

namespace logcomp {
namespace {

using Json = nlohmann::ordered_json;

Json OrNull(bool known, int64_t value) {
    return known ? Json(value) : Json(nullptr);
}

// The archive made, or the packed files found back in the log directory after a stop or a
// failure.
void AddPackage(Json& j, const RequestRecord& r) {
    j["archive"] = {{"path", r.archive},
                    {"bytes", OrNull(r.archiveBytes >= 0, r.archiveBytes)},
                    {"members", OrNull(r.members >= 0, r.members)}};
    if (r.result == LOG_COMP_TRIGGER_RESULT_SUCCESS && !r.dropped) return;
    j["restored"] = r.restored;
    j["left"] = r.tarLeft.empty() ? Json(nullptr) : Json(r.tarLeft);
}

void AddCompressed(Json& j, const std::vector<RequestRecord::Compressed>& files) {
    j["files"] = Json::array();
    for (const RequestRecord::Compressed& f : files) {
        j["files"].push_back({{"name", f.name},
                              {"bytes", f.bytes},
                              {"gz_bytes", OrNull(f.gzBytes >= 0, f.gzBytes)}});
    }
}

}  // namespace

void PrintRecordJson(Console& out, const RequestRecord& r, int exitStatus) {
    Json j = {{"id", r.id},
              {"option", r.package ? "package" : "compress"},
              {"from", r.first},
              {"to", r.last},
              {"result", r.dropped ? "dropped" : ResultName(r.result)},
              {"result_code", OrNull(!r.dropped, r.result)},
              {"message", r.message},
              {"log_files", r.logFiles},
              {"signal", r.signal != 0 ? Json(StopSignalName(r.signal)) : Json(nullptr)}};
    if (r.dropped) j["reasons"] = r.reasons;
    if (r.package) AddPackage(j, r);
    if (!r.package) AddCompressed(j, r.compressed);
    j["exit_status"] = exitStatus;
    out.Json(j);
}

}  // namespace logcomp
