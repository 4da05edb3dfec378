// Compression trigger: executor task ids, the task map from a requester's id to its
// executor task, and the loop tasks that release finished tasks and the whole map.
#include <cstdlib>

#include "logCompress/LogCompExec.h"
#include "logCompress/LogCompTriggerInternal.h"

uint64_t LogCompGetNextTaskId(void) {
    return sLogCompTriggerObj.taskIdCnt.fetch_add(1);
}

bool LCTHashSafeAdd(LOG_COMP_TRIGGER_T* pObj, LOG_COMP_TRIGGER_TASK_MAP* pTask) {
    LOG_COMP_TRIGGER_TASK_MAP* pFound = nullptr;
    HASH_FIND_STR(pObj->pTaskMap, pTask->strTaskId, pFound);
    if (pFound != nullptr) {
        return false;
    }
    HASH_ADD_STR(pObj->pTaskMap, strTaskId, pTask);
    return true;
}

void LCTHashSafeDel(LOG_COMP_TRIGGER_T* pObj, const char* strTaskId) {
    LOG_COMP_TRIGGER_TASK_MAP* pFound = nullptr;
    HASH_FIND_STR(pObj->pTaskMap, strTaskId, pFound);
    if (pFound == nullptr) {
        return;
    }
    HASH_DEL(pObj->pTaskMap, pFound);
    free(pFound);
}

void LCTHashDelAll(LOG_COMP_TRIGGER_T* pObj) {
    LOG_COMP_TRIGGER_TASK_MAP* pEntry = nullptr;
    LOG_COMP_TRIGGER_TASK_MAP* pNext = nullptr;
    HASH_ITER(hh, pObj->pTaskMap, pEntry, pNext) {
        // A waiting task completes inside this call and posts its release; that release
        // runs after this walk, so it never reaches the entry handled here.
        (void)LogCompExecDelTask(pEntry->taskId);
        // The analyzer loses track of the table uthash frees with its last entry.
        HASH_DEL(pObj->pTaskMap, pEntry);  // NOLINT(clang-analyzer-unix.Malloc)
        free(pEntry);
    }
}

void LCTListDelAll(LinkList list) {
    void* pItem = nullptr;
    while ((pItem = RemoveByPos_LinkList(list, 0)) != nullptr) {
        free(pItem);
    }
    Destroy_LinkList(list);
}

void LCTReleaseAllInLoop(void* ptr) {
    auto* pObj = static_cast<LOG_COMP_TRIGGER_T*>(ptr);
    if (pObj == nullptr) {
        pObj = &sLogCompTriggerObj;
    }
    LCTHashDelAll(pObj);
    pObj->pTaskMap = nullptr;
    LogCompExecUninit();
    pObj->releasePending.store(false);
}

void LCTReleaseTaskInLoop(void* ptr) {
    auto* pTask = static_cast<LOG_COMP_TRIGGER_TASK*>(ptr);
    if (pTask == nullptr) {
        return;
    }
    LCTHashSafeDel(&sLogCompTriggerObj, pTask->strTaskId);
    if (pTask->hasRecord) {
        LCTRecordRemove(pTask->recordId);  // answered: nothing left for a recovery
    }
    free(pTask);
}
