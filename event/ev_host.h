/* Host side of the event loop: create, run, stop and destroy the loop that EvRunInLoop,
 * EvQueueInLoop and the timers of uv_timer.h work on. A libuv loop underneath. */
#ifndef EV_HOST_H
#define EV_HOST_H

#include <stdbool.h>

#include "event/ev_loop.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A new idle loop, or NULL on failure. */
struct EvLoop* EvLoopCreate(void);

/* Runs the loop on the calling thread until EvLoopStop; tasks posted before or during the
 * run are all run before it returns. 0 after a stop, -1 when the loop already runs (on this
 * or another thread) or loop is NULL. A stop requested while the loop is idle ends the next
 * run as soon as the tasks posted by then ran. */
int EvLoopRun(struct EvLoop* loop);

/* Asks the loop to stop; safe from any thread, returns at once. */
void EvLoopStop(struct EvLoop* loop);

/* Releases the loop once no thread runs it (a thread from EvLoopStartThread is stopped and
 * joined first). Tasks still queued run first, on the calling thread; handles still open
 * are closed (with a warning: their owners should have closed them). */
void EvLoopDestroy(struct EvLoop* loop);

/* True on the thread that runs the loop, inside EvLoopRun (and inside EvLoopDestroy while
 * it runs leftover tasks); false elsewhere and while the loop is idle. */
bool EvLoopIsLoopThread(struct EvLoop* loop);

/* Runs the loop on a thread of its own; returns once that thread runs it. 0 on success,
 * -1 when the loop runs already or the thread cannot be started. */
int EvLoopStartThread(struct EvLoop* loop);

/* Stops a loop started with EvLoopStartThread and joins its thread. */
void EvLoopStopAndJoin(struct EvLoop* loop);

/* Host-side time scale, for demonstrations that cannot wait for the library's fixed periods
 * (a 10 s storage check, a 10 min daily tick): every timer started after the call runs with
 * its period multiplied by scale, rounded, at least 1 ms. 1.0 at start. A scale that is not
 * a finite number above 0 is refused (logged) and the previous one stays. Safe from any
 * thread. A station leaves it at 1.0. */
void UvTimerSetPeriodScale(double scale);

/* The libuv loop underneath, for hosts that add handles of their own (touch it only on the
 * loop thread, and close those handles before EvLoopDestroy). Declared only where <uv.h>
 * is included first. */
#ifdef UV_H
uv_loop_t* EvLoopUv(struct EvLoop* loop);
#endif

#ifdef __cplusplus
}
#endif

#endif /* EV_HOST_H */
