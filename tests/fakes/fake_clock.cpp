// The test binary's time(): the library reads the clock only through it, so a test can set
// the day and the time of day. Unset, it is the real clock.
#include <atomic>

#include "tests/fakes/fakes.h"

namespace fakes {
namespace {
std::atomic<bool> gNowSet{false};
std::atomic<time_t> gNow{0};
}  // namespace

void SetNow(time_t now) {
    gNow.store(now);
    gNowSet.store(true);
}

void ClearNow() {
    gNowSet.store(false);
}

time_t MakeUtc(int year, int month, int day, int hour, int minute, int second) {
    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return timegm(&tm);
}

}  // namespace fakes

extern "C" time_t time(time_t* out) {
    time_t now;
    if (fakes::gNowSet.load()) {
        now = fakes::gNow.load();
    } else {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        now = ts.tv_sec;
    }
    if (out) *out = now;
    return now;
}
