// Host timers on libuv. Every libuv call on a timer happens on the loop's thread: a call from
// another thread is handed to the loop and waited for. So once UvTimerUninit returns the
// timer is stopped on the loop thread and no callback of it can follow; its memory goes
// back in the close callback, after libuv let go of the handle.
#include <uv.h>

#include <atomic>
#include <cmath>
#include <new>

#include "event/ev_host.h"
#include "event/ev_internal.h"
#include "event/uv_timer.h"
#include "logsys/host_log.h"

struct UvTimer {
    uv_timer_t handle{};
    struct EvLoop* loop = nullptr;
    UvTimerCallback cb = nullptr;
    void* ptr = nullptr;
    bool released = false;  // UvTimerUninit ran; loop thread only
};

namespace {

std::atomic<double> sPeriodScale{1.0};

uint64_t ScaledPeriod(uint64_t periodMs) {
    const double scale = sPeriodScale.load(std::memory_order_relaxed);
    if (scale == 1.0 || periodMs == 0) {
        return periodMs;
    }
    const double scaled = std::round(static_cast<double>(periodMs) * scale);
    constexpr double kMaxMs = 1e15;  // some 30,000 years: far inside uint64_t
    return scaled < 1.0 ? 1 : static_cast<uint64_t>(scaled > kMaxMs ? kMaxMs : scaled);
}

struct TimerCall {
    UvTimer* timer;
    UvTimerCallback cb;
    void* ptr;
    uint64_t periodMs;
    bool repeat;
    int rc;
};

void OnFire(uv_timer_t* handle) {
    auto* timer = static_cast<UvTimer*>(handle->data);
    if (!timer->released && timer->cb != nullptr) {
        timer->cb(timer, timer->ptr);
    }
}

void OnClosed(uv_handle_t* handle) {
    delete static_cast<UvTimer*>(handle->data);
}

void InitOnLoop(void* arg) {
    auto* call = static_cast<TimerCall*>(arg);
    call->rc = uv_timer_init(EvLoopUv(call->timer->loop), &call->timer->handle);
    call->timer->handle.data = call->timer;
}

void StartOnLoop(void* arg) {
    auto* call = static_cast<TimerCall*>(arg);
    UvTimer* timer = call->timer;
    timer->cb = call->cb;
    timer->ptr = call->ptr;
    call->rc =
        uv_timer_start(&timer->handle, OnFire, call->periodMs, call->repeat ? call->periodMs : 0);
}

void UninitOnLoop(void* arg) {
    auto* timer = static_cast<UvTimer*>(arg);
    timer->released = true;  // a callback in progress (the caller itself) fires no more
    uv_timer_stop(&timer->handle);
    uv_close(reinterpret_cast<uv_handle_t*>(&timer->handle), OnClosed);
}

}  // namespace

extern "C" {

struct UvTimer* UvTimerInit(struct EvLoop* loop) {
    if (loop == nullptr) {
        HOST_LOG(LEVEL_ERROR, "no loop");
        return nullptr;
    }
    auto* timer = new (std::nothrow) UvTimer();
    if (timer == nullptr) {
        HOST_LOG(LEVEL_ERROR, "out of memory");
        return nullptr;
    }
    timer->loop = loop;
    TimerCall call{timer, nullptr, nullptr, 0, false, UV_EINVAL};
    EvLoopCallSync(loop, InitOnLoop, &call);
    if (call.rc != 0) {
        HOST_LOG(LEVEL_ERROR, "libuv timer init failed: %s", uv_strerror(call.rc));
        delete timer;  // never became a libuv handle
        return nullptr;
    }
    return timer;
}

void UvTimerStart(struct UvTimer* timer, UvTimerCallback cb, void* ptr, uint64_t periodMs,
                  bool repeat) {
    if (timer == nullptr || cb == nullptr) {
        HOST_LOG(LEVEL_ERROR, "no %s: timer not started", timer ? "callback" : "timer");
        return;
    }
    if (repeat && periodMs == 0) {
        HOST_LOG(LEVEL_ERROR, "repeating timer with a period of 0 ms: not started");
        return;
    }
    TimerCall call{timer, cb, ptr, ScaledPeriod(periodMs), repeat, UV_EINVAL};
    EvLoopCallSync(timer->loop, StartOnLoop, &call);
    if (call.rc != 0) {
        HOST_LOG(LEVEL_ERROR, "libuv timer start failed: %s", uv_strerror(call.rc));
    }
}

void UvTimerSetPeriodScale(double scale) {
    if (!std::isfinite(scale) || scale <= 0.0) {
        HOST_LOG(LEVEL_ERROR, "timer period scale %g refused: not a number above 0", scale);
        return;
    }
    sPeriodScale.store(scale, std::memory_order_relaxed);
}

void UvTimerUninit(struct UvTimer* timer) {
    if (timer == nullptr) {
        return;
    }
    EvLoopCallSync(timer->loop, UninitOnLoop, timer);
}

}  // extern "C"
