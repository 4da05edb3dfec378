// Compression trigger: packing a task's log files into one tar archive before it is
// compressed. The station keeps writing today's log meanwhile, so tar may report that a file
// changed while it read it (GNU tar's status 1): the archive then holds the file as tar read
// it, which is what is wanted. Whatever tar says, the archive is read back before anything
// is deleted: it must be whole and hold every packed file. A past day's file is deleted only
// when it is still exactly the file tar read, and only after the archive and its directory
// are on the card; a file that changed stays in place, like today's.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fileUtils/file_utils.h"
#include "logCompress/LogCompLog.h"
#include "logCompress/LogCompTriggerInternal.h"

namespace {

constexpr size_t kOutputLen = 256;
constexpr size_t kFileWordLen = LCTShellQuotedMax(sizeof(FILE_COMPRESS_CONFIG::file)) + 1;
// Lets tar's status 1 ("file changed as we read it") through; the archive is checked anyway.
constexpr char kTarTail[] = " || [ $? -eq 1 ]; }";

struct Packed {
    FILE_COMPRESS_CONFIG* order;
    LCT_FILE_ID before;  // the file just before tar read it
    bool statted;
    bool inArchive;  // a plain member of its name, of the size it had before
};

struct Package {
    char tarPath[kLctPathMax];  // absolute: where tar, the checks and the compressor meet
    char commandTar[kLctCommandLen];
    char commandDel[kLctCommandLen];
    char output[kOutputLen];
    Packed* files;
    int count;
};

void AppendWord(char (&command)[kLctCommandLen], const char* word) {
    size_t len = strlen(command);
    snprintf(command + len, kLctCommandLen - len, " %s", word);
}

void LogPathOf(const char* name, char (&path)[kLctPathMax]) {
    snprintf(path, sizeof(path), "%s/%s", LOG_COMP_LOG_DIR, name);
}

// Takes every order off the list: those that fit on the tar line are kept for packing.
void TakeOrders(Package* p, LinkList list) {
    char word[kFileWordLen];
    void* item = nullptr;
    while ((item = RemoveByPos_LinkList(list, 0)) != nullptr) {
        auto* order = static_cast<FILE_COMPRESS_CONFIG*>(item);
        size_t wordLen = LCTShellQuote(order->file, word, sizeof(word));
        size_t cmdLen = strlen(p->commandTar);
        if (kLctCommandLen - 1 - cmdLen <= wordLen + 1 + (sizeof(kTarTail) - 1)) {
            LC_LOG(LEVEL_WARN, "LogCompPackageFiles: command is too long[cmdLen=%d], skip file",
                   static_cast<int>(cmdLen));
            free(order);
            continue;
        }
        AppendWord(p->commandTar, word);
        Packed* f = &p->files[p->count++];
        f->order = order;
        char path[kLctPathMax];
        LogPathOf(order->file, path);
        f->statted = LCTStatFile(path, &f->before);
    }
    size_t len = strlen(p->commandTar);
    snprintf(p->commandTar + len, kLctCommandLen - len, "%s", kTarTail);
}

void MarkMember(const LCT_TAR_MEMBER* m, void* ctx) {
    auto* p = static_cast<Package*>(ctx);
    for (int i = 0; i < p->count; i++) {
        Packed* f = &p->files[i];
        if (LCTTarMemberIsPlainFile(m) && strcmp(m->name, f->order->file) == 0) {
            f->inArchive =
                f->inArchive || !f->order->needDelete || (f->statted && m->size == f->before.size);
        }
    }
}

// tar made a whole archive that holds every packed file.
bool ArchiveHoldsAll(Package* p) {
    LCT_TAR_STATE state = LCTTarWalk(p->tarPath, MarkMember, p);
    if (state == LCT_TAR_ABSENT) {
        LC_LOG(LEVEL_ERROR, "LogCompPackageFiles: tarPath %s is not exist", p->tarPath);
        return false;
    }
    bool all = state == LCT_TAR_COMPLETE;
    for (int i = 0; i < p->count && all; i++) {
        all = p->files[i].inArchive;
    }
    if (!all) {
        LC_LOG(LEVEL_ERROR, "LogCompPackageFiles: %s is not a whole archive of the packed files",
               p->tarPath);
    }
    return all;
}

// The deletion command: past days' files that are still exactly what tar read.
void BuildDeletion(Package* p) {
    char word[kFileWordLen];
    char path[kLctPathMax];
    for (int i = 0; i < p->count; i++) {
        const Packed* f = &p->files[i];
        if (!f->order->needDelete) {
            continue;
        }
        LCT_FILE_ID now{};
        LogPathOf(f->order->file, path);
        if (!LCTStatFile(path, &now) || !LCTSameFile(&now, &f->before)) {
            LC_LOG(LEVEL_WARN, "LogCompPackageFiles: %s changed while it was packed, kept in place",
                   f->order->file);
            continue;
        }
        LCTShellQuote(f->order->file, word, sizeof(word));
        AppendWord(p->commandDel, word);
    }
}

// Appends the archive's own order to the drained list; false when out of memory.
bool AppendArchiveOrder(LinkList fileCompList, const char* tarPath) {
    FILE_COMPRESS_CONFIG* pConfig = LCTNewFileOrder(tarPath, true);
    if (pConfig == nullptr || PushBack_LinkList(fileCompList, pConfig) != 0) {
        free(pConfig);
        return false;
    }
    return true;
}

// Runs tar and reads its archive back; a failed tar leaves no archive of its own behind.
bool Pack(Package* p) {
    const bool existed = LCTEntryExists(p->tarPath);
    bool ok = FILE_system(p->commandTar, p->output, kOutputLen - 1) >= 0;
    if (!ok) {
        LC_LOG(LEVEL_ERROR, "LogCompPackageFiles: package failed, output = %s", p->output);
    }
    ok = ok && ArchiveHoldsAll(p);
    if (ok && !LCTSyncFileAndDir(p->tarPath)) {
        LC_LOG(LEVEL_ERROR, "LogCompPackageFiles: %s could not be synced", p->tarPath);
        ok = false;
    }
    if (!ok && !existed && LCTRemoveFile(p->tarPath)) {
        LCTSyncParentDir(p->tarPath);
    }
    return ok;
}

// Deletes the packed past days' files and puts the archive's order on the list.
bool DeleteAndHandOver(Package* p, LinkList fileCompList) {
    BuildDeletion(p);
    memset(p->output, 0, sizeof(p->output));
    if (FILE_system(p->commandDel, p->output, kOutputLen - 1) < 0) {
        LCTRestoreTarFile(p->tarPath);
        LC_LOG(LEVEL_ERROR, "LogCompPackageFiles: delete failed, output = %s", p->output);
        return false;
    }
    if (!AppendArchiveOrder(fileCompList, p->tarPath)) {
        LCTRestoreTarFile(p->tarPath);
        LC_LOG(LEVEL_ERROR, "LogCompPackageFiles: malloc pConfig failed");
        LC_LOG(LEVEL_ERROR, "tarPath = %s", p->tarPath);
        return false;
    }
    return true;
}

bool StartPackage(Package* p, LinkList list, const char* outputPath) {
    if (!LCTArchiveOfOutput(outputPath, p->tarPath, sizeof(p->tarPath))) {
        return false;
    }
    char word[kFileWordLen];
    LCTShellQuote(p->tarPath, word, sizeof(word));
    snprintf(p->commandTar, sizeof(p->commandTar), "cd %s && { tar -cvf %s", LCTLogDirWord(), word);
    snprintf(p->commandDel, sizeof(p->commandDel), "cd %s && rm -rf", LCTLogDirWord());
    int total = Size_LinkList(list);
    p->files =
        static_cast<Packed*>(calloc(total > 0 ? static_cast<size_t>(total) : 1, sizeof(Packed)));
    return p->files != nullptr;
}

void FreePackage(Package* p) {
    if (p == nullptr) {
        return;
    }
    for (int i = 0; p->files != nullptr && i < p->count; i++) {
        free(p->files[i].order);
    }
    free(p->files);
    free(p);
}

// The first component of `dir` below the log directory (both resolved), or null when `dir`
// does not lie below it.
const char* EntryBelowLogDir(const char* dir, char (&resolved)[PATH_MAX]) {
    char logDir[PATH_MAX];
    if (realpath(LOG_COMP_LOG_DIR, logDir) == nullptr || realpath(dir, resolved) == nullptr) {
        return nullptr;
    }
    size_t len = strlen(logDir);
    if (strncmp(resolved, logDir, len) != 0 || resolved[len] != '/') {
        return nullptr;
    }
    char* entry = resolved + len + 1;
    char* slash = strchr(entry, '/');
    if (slash != nullptr) {
        *slash = '\0';
    }
    return entry;
}

}  // namespace

bool LCTOutputPathIsFree(const LOG_COMP_TRIGGER_TASK* pParam) {
    const char* id = pParam->strTaskId;
    const char* output = pParam->outputPath;
    char tarPath[kLctPathMax];
    char dir[kLctPathMax];
    char resolved[PATH_MAX];
    const char* entry = nullptr;
    bool ok = false;
    if (output[0] != '/') {
        // tar would resolve it in the log directory, the checks and the compressor elsewhere.
        LC_LOG(LEVEL_ERROR, "[%s]EventLogPackageAndCompress failed, outputPath %s is not absolute",
               id, output);
    } else if (!LCTArchiveOfOutput(output, tarPath, sizeof(tarPath)) || LCTEntryExists(output) ||
               LCTEntryExists(tarPath)) {
        LC_LOG(LEVEL_ERROR,
               "[%s]EventLogPackageAndCompress failed, outputPath %s or its .tar exists", id,
               output);
    } else if (LCTParentDir(output, dir, sizeof(dir)) &&
               (entry = EntryBelowLogDir(dir, resolved)) != nullptr &&
               LCTIsLogNameOf(entry, pParam->pDateList)) {
        // Packing that entry would take the archive with it.
        LC_LOG(LEVEL_ERROR,
               "[%s]EventLogPackageAndCompress failed, outputPath %s lies inside the log entry %s",
               id, output, entry);
    } else {
        ok = true;
    }
    return ok;
}

bool LogCompPackageFiles(LinkList fileCompList, const char* outputPath) {
    auto* p = static_cast<Package*>(calloc(1, sizeof(Package)));
    bool ok = p != nullptr && StartPackage(p, fileCompList, outputPath);
    if (!ok) {
        LC_LOG(LEVEL_ERROR, "LogCompPackageFiles: malloc failed");
        void* item = nullptr;  // drained as on every other road
        while ((item = RemoveByPos_LinkList(fileCompList, 0)) != nullptr) {
            free(item);
        }
        FreePackage(p);
        return false;
    }
    TakeOrders(p, fileCompList);
    if (p->count == 0) {
        LC_LOG(LEVEL_ERROR, "LogCompPackageFiles: no file to package");
        ok = false;
    }
    ok = ok && Pack(p) && DeleteAndHandOver(p, fileCompList);
    FreePackage(p);
    return ok;
}
