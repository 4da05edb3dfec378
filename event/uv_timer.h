/* Host timers bound to an event loop; callbacks run on the loop thread. */
#ifndef UV_TIMER_H
#define UV_TIMER_H

#include <stdbool.h>
#include <stdint.h>

#include "event/ev_loop.h"

#ifdef __cplusplus
extern "C" {
#endif

struct UvTimer; /* opaque */

typedef void (*UvTimerCallback)(struct UvTimer* pTimer, void* ptr);

/* A new timer on the loop, or NULL on failure. */
struct UvTimer* UvTimerInit(struct EvLoop* loop);
/* cb(timer, ptr) once per period, the first time one period after the start. */
void UvTimerStart(struct UvTimer* timer, UvTimerCallback cb, void* ptr, uint64_t periodMs,
                  bool repeat);
/* Stops and releases the timer; no callback runs after it returns. */
void UvTimerUninit(struct UvTimer* timer);

#ifdef __cplusplus
}
#endif

#endif /* UV_TIMER_H */
