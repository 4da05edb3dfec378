// A device status the test sets: the card's status and the usage figures it reports.
#include "fake_internal.h"
#include "tests/fakes/fakes.h"

namespace fakes {
namespace {
int gSdStatus = SD_STATUS_OK;
Dev_Filesystem_Usage gUsage{};
int gUsageResult = 0;
int gUsageCalls = 0;
std::string gLastPath;
}  // namespace

namespace detail {
void ResetDevice() {
    std::lock_guard<std::mutex> lock(Mu());
    gSdStatus = SD_STATUS_OK;
    gUsage = {};
    gUsageResult = 0;
    gUsageCalls = 0;
    gLastPath.clear();
}
}  // namespace detail

void DeviceSetSdStatus(int status) {
    std::lock_guard<std::mutex> lock(detail::Mu());
    gSdStatus = status;
}

void DeviceSetUsage(const Dev_Filesystem_Usage& usage, int result) {
    std::lock_guard<std::mutex> lock(detail::Mu());
    gUsage = usage;
    gUsageResult = result;
}

int DeviceUsageCalls() {
    std::lock_guard<std::mutex> lock(detail::Mu());
    return gUsageCalls;
}

std::string DeviceLastPath() {
    std::lock_guard<std::mutex> lock(detail::Mu());
    return gLastPath;
}

}  // namespace fakes

extern "C" int DEV_getSdStatus(void) {
    std::lock_guard<std::mutex> lock(fakes::detail::Mu());
    return fakes::gSdStatus;
}

extern "C" int DEV_getFilesystemUsage(const char* path, Dev_Filesystem_Usage* usage) {
    std::lock_guard<std::mutex> lock(fakes::detail::Mu());
    ++fakes::gUsageCalls;
    fakes::gLastPath = path ? path : "";
    if (fakes::gUsageResult == 0 && usage) *usage = fakes::gUsage;
    return fakes::gUsageResult;
}
