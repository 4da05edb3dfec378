/* Host event loop: deferred work handed to the loop's thread. */
#ifndef EV_LOOP_H
#define EV_LOOP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct EvLoop; /* opaque, owned by the host */

typedef void (*TaskCallback)(void* pUser);

typedef struct EvTask {
    TaskCallback task;
    void* pUser;
    uint32_t userDataSize;
} EV_TASK_T;

/* Both run task.task(task.pUser) exactly once on the loop thread, always after the call has
 * returned (also when called on the loop thread). Safe from any thread. */
void EvRunInLoop(struct EvLoop* loop, EV_TASK_T task);
void EvQueueInLoop(struct EvLoop* loop, EV_TASK_T task);

#ifdef __cplusplus
}
#endif

#endif /* EV_LOOP_H */
