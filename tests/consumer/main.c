/* A host built against an installed liblogcompress: starts and stops the trigger on the
 * no-op host (tests/abi/host_stub.c), whose services the link exports through the
 * installed host symbol list. */
#include <stdbool.h>
#include <stdio.h>

#include "logCompress/LogCompExec.h"
#include "logCompress/LogCompTrigger.h"

static bool CompressAllowed(void) {
    return true;
}

int main(void) {
    static char loop; /* the no-op host never looks inside its loop */
    LOG_COMP_TRIGGER_CONFIG config = {{2, 0, 0}, CompressAllowed};
    if (LogCompTriggerInit((struct EvLoop*)&loop, &config) != 0) {
        fputs("consumer: LogCompTriggerInit failed\n", stderr);
        return 1;
    }
    LogCompTriggerUninit();
    /* The release queued by the uninit would stop the executor; the no-op loop never runs it. */
    LogCompExecUninit();
    puts("consumer: trigger started and stopped");
    return 0;
}
