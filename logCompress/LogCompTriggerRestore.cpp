// Compression trigger: putting the files of a failed or cancelled package back. Only the
// packed files that are missing from the log directory come back; a file that is there (the
// live log of today, or one the station wrote again) is never replaced. tar unpacks exactly
// those members into a staging directory beside the logs, each whole one is synced and
// renamed into place without replacing anything, and the archive is removed only when
// everything missing came back, after the log directory is synced.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fileUtils/file_utils.h"
#include "logCompress/LogCompLog.h"
#include "logCompress/LogCompTriggerInternal.h"

namespace {

constexpr size_t kOutputLen = 256;
constexpr size_t kWordLen = LCTShellQuotedMax(kLctPathMax) + 1;
constexpr size_t kCommandLen = kLctCommandLen + 2 * kWordLen;

struct Restore {
    const char* archive;
    char staging[sizeof(LCT_RECORD_DIR) + 32];
    LCTRestoreFilter accept;
    void* acceptCtx;
    char command[kCommandLen];
    int wanted;     // members missing from the log directory when the restore began
    int moved;      // of those, whole and back in place
    int conflicts;  // missing at first, taken by a new file before ours could go in
    int missing;    // accepted members still missing at the end
    bool full;      // the command line could not name them all
};

bool Accepted(const Restore* r, const LCT_TAR_MEMBER* m) {
    return LCTTarMemberIsPlainFile(m) && (r->accept == nullptr || r->accept(m->name, r->acceptCtx));
}

void LogPath(const char* dir, const char* name, char (&path)[kLctPathMax]) {
    snprintf(path, sizeof(path), "%s/%s", dir, name);
}

void CollectMissing(const LCT_TAR_MEMBER* m, void* ctx) {
    auto* r = static_cast<Restore*>(ctx);
    char path[kLctPathMax];
    LogPath(LOG_COMP_LOG_DIR, m->name, path);
    if (!Accepted(r, m) || LCTEntryExists(path)) {
        return;
    }
    char word[kWordLen];
    size_t wordLen = LCTShellQuote(m->name, word, sizeof(word));
    size_t len = strlen(r->command);
    if (len + 1 + wordLen >= kLctCommandLen) {
        r->full = true;
        return;
    }
    snprintf(r->command + len, sizeof(r->command) - len, " %s", word);
    r->wanted++;
}

// Moves one unpacked member into the log directory, never over an existing entry.
bool PutInPlace(const char* from, const char* to) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    // A file system without the no-replace rename: a hard link never replaces either.
    if (link(from, to) != 0) {
        return false;
    }
    unlink(from);
    return true;
}

void MoveIntoPlace(const LCT_TAR_MEMBER* m, void* ctx) {
    auto* r = static_cast<Restore*>(ctx);
    char staged[kLctPathMax];
    char target[kLctPathMax];
    LCT_FILE_ID id{};
    LogPath(r->staging, m->name, staged);
    LogPath(LOG_COMP_LOG_DIR, m->name, target);
    if (!Accepted(r, m) || !LCTStatFile(staged, &id) || id.size != m->size) {
        return;  // not unpacked, or cut short: it stays missing and the archive stays
    }
    if (LCTSyncFile(staged) && PutInPlace(staged, target)) {
        r->moved++;
    } else if (errno == EEXIST) {
        r->conflicts++;
    }
}

void CountMissing(const LCT_TAR_MEMBER* m, void* ctx) {
    auto* r = static_cast<Restore*>(ctx);
    char path[kLctPathMax];
    LogPath(LOG_COMP_LOG_DIR, m->name, path);
    if (Accepted(r, m) && !LCTEntryExists(path)) {
        r->missing++;
    }
}

// Unpacks the wanted members into the staging directory and moves them into place.
void UnpackMissing(Restore* r, char (&output)[kOutputLen]) {
    char word[kWordLen];
    LCTShellQuote(r->archive, word, sizeof(word));
    char stagingWord[kWordLen];
    LCTShellQuote(r->staging, stagingWord, sizeof(stagingWord));
    snprintf(r->command, sizeof(r->command), "cd %s && tar -xvf %s", stagingWord, word);
    LCTTarWalk(r->archive, CollectMissing, r);
    if (r->wanted == 0) {
        return;
    }
    if (FILE_system(r->command, output, static_cast<int>(kOutputLen)) < 0) {
        LC_LOG(LEVEL_ERROR, "LCTRestoreTarFile: restore failed, output = %s", output);
    }
    LCTTarWalk(r->archive, MoveIntoPlace, r);
    if (r->moved > 0) {
        LCTSyncDir(LOG_COMP_LOG_DIR);
    }
}

}  // namespace

bool LCTRestoreArchive(const char* tarPath, LCTRestoreFilter accept, void* acceptCtx) {
    char archive[kLctPathMax];
    char output[kOutputLen] = {0};
    if (tarPath == nullptr || !LCTAbsoluteArchivePath(tarPath, archive, sizeof(archive)) ||
        LCTTarWalk(archive, nullptr, nullptr) != LCT_TAR_COMPLETE) {
        LC_LOG(LEVEL_ERROR, "LCTRestoreTarFile: restore failed, output = %s is not a whole archive",
               tarPath != nullptr ? tarPath : "(null)");
        return false;
    }
    auto* r = static_cast<Restore*>(calloc(1, sizeof(Restore)));
    bool ok = r != nullptr && LCTMakeRecordDir();
    if (ok) {
        r->archive = archive;
        r->accept = accept;
        r->acceptCtx = acceptCtx;
        snprintf(r->staging, sizeof(r->staging), "%s/restore-XXXXXX", LCT_RECORD_DIR);
        ok = mkdtemp(r->staging) != nullptr;
    }
    if (ok) {
        UnpackMissing(r, output);
        LCTDropDir(r->staging);  // copies of members, nothing else
        LCTTarWalk(archive, CountMissing, r);
        ok = r->missing == 0 && r->conflicts == 0 && !r->full;
    }
    if (ok && LCTRemoveFile(archive)) {
        LCTSyncParentDir(archive);
        LC_LOG(LEVEL_INFO,
               "LCTRestoreTarFile: %d missing files back in the log directory, %s removed",
               r->moved, archive);
    } else if (r == nullptr) {
        LC_LOG(LEVEL_ERROR, "LCTRestoreTarFile: restore failed, output = out of memory");
    } else {
        LC_LOG(
            LEVEL_ERROR,
            "LCTRestoreTarFile: %s kept: %d packed files are not back (%d taken by a newer file)",
            archive, r->missing + r->conflicts, r->conflicts);
    }
    free(r);
    return ok;
}

void LCTRestoreTarFile(const char* tarPath) {
    LCTRestoreArchive(tarPath, nullptr, nullptr);
}

void LCTRestoreTarFileList(LinkList list) {
    void* pItem = nullptr;
    for (int i = 0; (pItem = Get_LinkList(list, i)) != nullptr; i++) {
        LCTRestoreTarFile(static_cast<FILE_COMPRESS_CONFIG*>(pItem)->file);
    }
}
