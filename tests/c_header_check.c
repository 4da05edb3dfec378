/* Compiles only: the public and host headers are valid C. */
#include "device/devStatus.h"
#include "event/ev_loop.h"
#include "event/uv_timer.h"
#include "fileUtils/file_compress.h"
#include "fileUtils/file_utils.h"
#include "list/link_list.h"
#include "logCompress/DateParse.h"
#include "logCompress/LogCompExec.h"
#include "logCompress/LogCompTrigger.h"
#include "logCompress/LogManager.h"
#include "logsys/log_sys.h"

int c_header_check_dummy(void);
int c_header_check_dummy(void) {
    LOG_COMP_TRIGGER_REQ req = {0};
    LOG_COMPEXEC_TASK task = {0};
    LOG_MANAGER_CONFIG cfg = {0};
    DateList list = {0};
    return req.compressOption + (int)task.retryCnt + cfg.storageThreshold + list.count;
}
