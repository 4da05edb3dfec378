// Compression trigger: what an earlier process left when it died in the middle of a task.
// Init queues this to the loop ahead of every request. Each record left in the log directory
// is resolved the way a cancel would have ended its task:
//   - a package whose compressed archive is complete (under its final name) keeps it, and
//     its leftover .tar goes;
//   - a package whose .tar is whole gets its missing files back from it, then the .tar goes;
//   - a package whose .tar was cut short, with all its files still in place, loses the .tar;
//   - the compressor's temporaries of the task's files and archive go.
// Records and archives are untrusted: a damaged record is set aside, only members the record
// names and that are plain files with bare names are unpacked, nothing is followed through a
// link and nothing outside the log directory is touched but the archive a record names and
// its temporary. With no record left, all this costs one failed open.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fileUtils/file_compress.h"
#include "logCompress/LogCompLog.h"
#include "logCompress/LogCompTriggerInternal.h"

namespace {

constexpr size_t kMaxRecordBytes = 1u << 20;

struct Tally {
    int records;
    int restored;  // packages whose files are all back
    int kept;      // archives left in place: not everything could come back
    int removed;   // archives removed
    int temps;     // compressor temporaries removed
    int damaged;   // records set aside
};

bool RecordNames(const LCT_RECORD* rec, const char* name) {
    const char* cursor = rec->files;
    char file[NAME_MAX + 1];
    while (LCTRecordNextFile(&cursor, rec, file, sizeof(file))) {
        if (strcmp(file, name) == 0) {
            return true;
        }
    }
    return false;
}

bool AcceptRecorded(const char* name, void* ctx) {
    return RecordNames(static_cast<const LCT_RECORD*>(ctx), name);
}

void RemoveTemporary(const char* source, Tally* t) {
    char temp[kLctPathMax + sizeof(FILE_COMPRESS_TEMP_SUFFIX)];
    snprintf(temp, sizeof(temp), "%s%s", source, FILE_COMPRESS_TEMP_SUFFIX);
    if (LCTRemoveFile(temp)) {
        LCTSyncParentDir(temp);
        t->temps++;
    }
}

bool AllFilesPresent(const LCT_RECORD* rec) {
    const char* cursor = rec->files;
    char name[NAME_MAX + 1];
    char path[kLctPathMax];
    while (LCTRecordNextFile(&cursor, rec, name, sizeof(name))) {
        snprintf(path, sizeof(path), "%s/%s", LOG_COMP_LOG_DIR, name);
        if (!LCTEntryExists(path)) {
            return false;
        }
    }
    return true;
}

void RemoveArchive(const char* archive, Tally* t) {
    if (LCTRemoveFile(archive)) {
        LCTSyncParentDir(archive);
        t->removed++;
    }
}

void ResolvePackage(const LCT_RECORD* rec, Tally* t) {
    char output[kLctPathMax + 4];
    LCT_FILE_ID id{};
    snprintf(output, sizeof(output), "%s%s", rec->archive, FILE_COMPRESS_OUTPUT_SUFFIX);
    RemoveTemporary(rec->archive, t);
    const LCT_TAR_STATE state = LCTTarWalk(rec->archive, nullptr, nullptr);
    if (state == LCT_TAR_ABSENT || state == LCT_TAR_FOREIGN) {
        return;  // nothing of ours at that path
    }
    if (LCTStatFile(output, &id)) {
        RemoveArchive(rec->archive, t);  // the compressed archive holds everything
    } else if (state == LCT_TAR_COMPLETE) {
        const bool back =
            LCTRestoreArchive(rec->archive, AcceptRecorded, const_cast<LCT_RECORD*>(rec));
        t->restored += back ? 1 : 0;
        t->removed += back ? 1 : 0;
        t->kept += back ? 0 : 1;
    } else if (AllFilesPresent(rec)) {
        RemoveArchive(rec->archive, t);  // cut short before anything was deleted
    } else {
        LC_LOG(LEVEL_ERROR, "LCTRecoverInLoop: %s is cut short and packed files are missing: kept",
               rec->archive);
        t->kept++;
    }
}

void ResolveCompression(const LCT_RECORD* rec, Tally* t) {
    const char* cursor = rec->files;
    char name[NAME_MAX + 1];
    char path[kLctPathMax];
    while (LCTRecordNextFile(&cursor, rec, name, sizeof(name))) {
        snprintf(path, sizeof(path), "%s/%s", LOG_COMP_LOG_DIR, name);
        RemoveTemporary(path, t);
    }
}

// The whole record file, NUL-terminated, for free(); null when unreadable or too big.
char* ReadRecord(int dirFd, const char* name, size_t* len) {
    int fd = openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    char* text = nullptr;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<uint64_t>(st.st_size) <= kMaxRecordBytes) {
        *len = static_cast<size_t>(st.st_size);
        text = static_cast<char*>(calloc(1, *len + 1));
        if (text != nullptr && read(fd, text, *len) != static_cast<ssize_t>(*len)) {
            free(text);
            text = nullptr;
        }
    }
    if (fd >= 0) {
        close(fd);
    }
    return text;
}

void SetAside(int dirFd, const char* name, Tally* t) {
    char aside[NAME_MAX + 1];
    snprintf(aside, sizeof(aside), "damaged-%s", name);
    LC_LOG(LEVEL_ERROR, "LCTRecoverInLoop: damaged record %s/%s set aside as %s", LCT_RECORD_DIR,
           name, aside);
    renameat(dirFd, name, dirFd, aside);
    t->damaged++;
}

void ResolveRecord(int dirFd, const char* name, Tally* t) {
    size_t len = 0;
    char* text = ReadRecord(dirFd, name, &len);
    LCT_RECORD rec{};
    t->records++;
    if (text == nullptr || !LCTRecordParse(text, len, &rec)) {
        SetAside(dirFd, name, t);
    } else {
        if (rec.option == LOG_COMPRESS_OPTION_FULL) {
            ResolvePackage(&rec, t);
        } else {
            ResolveCompression(&rec, t);
        }
        unlinkat(dirFd, name, 0);
    }
    free(text);
}

bool StartsWith(const char* s, const char* prefix) {
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

void VisitEntry(int dirFd, const char* name, Tally* t) {
    size_t len = strlen(name);
    char path[kLctPathMax];
    if (StartsWith(name, "restore-")) {
        snprintf(path, sizeof(path), "%s/%s", LCT_RECORD_DIR, name);
        LCTDropDir(path);  // copies of members; the archive still holds them
    } else if (StartsWith(name, "task-") && len > 4 && strcmp(name + len - 4, ".tmp") == 0) {
        unlinkat(dirFd, name, 0);  // cut while written: its task never began
    } else if (StartsWith(name, "task-")) {
        ResolveRecord(dirFd, name, t);
    }
}

}  // namespace

void LCTRecoverInLoop(void* ptr) {
    (void)ptr;
    DIR* dir = LCTOpenDir(LCT_RECORD_DIR);
    if (dir == nullptr) {
        return;  // no record left: this one failed open is all the recovery costs
    }
    Tally t{};
    for (const struct dirent* e = readdir(dir); e != nullptr; e = readdir(dir)) {
        VisitEntry(dirfd(dir), e->d_name, &t);
    }
    if (t.records > 0) {
        LCTSyncDir(LCT_RECORD_DIR);
        LC_LOG(LEVEL_INFO,
               "LCTRecoverInLoop: %d interrupted tasks resolved: %d packages restored, %d archives "
               "removed, %d kept, %d temporary files removed, %d damaged records set aside",
               t.records, t.restored, t.removed, t.kept, t.temps, t.damaged);
    }
    closedir(dir);
}
