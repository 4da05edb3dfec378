// Compression trigger: the record of a task in flight. Before a package runs tar, and before
// a compression is handed to the executor, a small record in the log directory names the
// archive and the files of the task; it is written aside, synced and renamed into place, so
// that it is either whole or absent. It goes once the task has been answered. A process that
// dies in between leaves it for the next init, whose recovery puts things right.
//
// Format, one field per line, each value with its length so that any byte survives:
//   logcomp-task 1
//   option <n>
//   archive <len> <absolute path of the .tar>      (packages only)
//   file <len> <bare name in the log directory>    (once per file)
//   end
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "logCompress/LogCompLog.h"
#include "logCompress/LogCompTriggerInternal.h"

namespace {

constexpr char kMagic[] = "logcomp-task 1";
constexpr size_t kBufLen = 4096;

// Buffered writer of one record file; any failed write sticks.
struct RecordWriter {
    int fd = -1;
    bool ok = true;
    size_t used = 0;
    char buf[kBufLen];

    void Flush() {
        size_t done = 0;
        while (ok && done < used) {
            ssize_t n = write(fd, buf + done, used - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            ok = n > 0;
            done += n > 0 ? static_cast<size_t>(n) : 0;
        }
        used = 0;
    }
    void Put(const char* text, size_t len) {
        while (ok && len > 0) {
            if (used == kBufLen) {
                Flush();
            }
            size_t n = len < kBufLen - used ? len : kBufLen - used;
            memcpy(buf + used, text, n);
            used += n;
            text += n;
            len -= n;
        }
    }
    void Field(const char* key, const char* value) {
        char head[64];
        size_t len = strlen(value);
        int n = snprintf(head, sizeof(head), "%s %zu ", key, len);
        Put(head, static_cast<size_t>(n));
        Put(value, len);
        Put("\n", 1);
    }
};

const char* BaseName(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

void WriteBody(RecordWriter* w, int option, const char* archive, LinkList files) {
    char line[64];
    w->Put(kMagic, sizeof(kMagic) - 1);
    int n = snprintf(line, sizeof(line), "\noption %d\n", option);
    w->Put(line, static_cast<size_t>(n));
    if (archive != nullptr) {
        w->Field("archive", archive);
    }
    void* item = nullptr;
    for (int i = 0; (item = Get_LinkList(files, i)) != nullptr; i++) {
        w->Field("file", BaseName(static_cast<FILE_COMPRESS_CONFIG*>(item)->file));
    }
    w->Put("end\n", 4);
    w->Flush();
}

}  // namespace

void LCTRecordPath(uint64_t recordId, char* path, size_t pathSize) {
    snprintf(path, pathSize, "%s/task-%" PRIu64, LCT_RECORD_DIR, recordId);
}

bool LCTRecordWrite(uint64_t recordId, int option, const char* archive, LinkList files) {
    char path[kLctPathMax];
    char tmp[kLctPathMax + 8];
    LCTRecordPath(recordId, path, sizeof(path));
    snprintf(tmp, sizeof(tmp), "%s.tmp", path);
    if (!LCTMakeRecordDir()) {
        return false;
    }
    auto* w = static_cast<RecordWriter*>(calloc(1, sizeof(RecordWriter)));
    bool ok = w != nullptr;
    if (ok) {
        w->ok = true;
        w->fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        w->ok = w->fd >= 0;
        WriteBody(w, option, archive, files);
        ok = w->ok && fsync(w->fd) == 0;
        ok = (w->fd < 0 || close(w->fd) == 0) && ok;
        free(w);
    }
    ok = ok && rename(tmp, path) == 0 && LCTSyncDir(LCT_RECORD_DIR);
    if (!ok) {
        unlink(tmp);
    }
    return ok;
}

void LCTRecordRemove(uint64_t recordId) {
    char path[kLctPathMax];
    LCTRecordPath(recordId, path, sizeof(path));
    // Durable: a record that came back after a power cut would be resolved a second time.
    if (unlink(path) == 0) {
        LCTSyncDir(LCT_RECORD_DIR);
    }
}

// ---- reading, for the recovery: the record is untrusted input.

namespace {

bool TakeWord(const char** p, const char* end, const char* word) {
    size_t len = strlen(word);
    if (static_cast<size_t>(end - *p) < len + 1 || memcmp(*p, word, len) != 0 || (*p)[len] != ' ') {
        return false;
    }
    *p += len + 1;
    return true;
}

// "<len> <bytes>\n" into out (NUL-terminated, no NUL inside).
bool TakeValue(const char** p, const char* end, char* out, size_t outSize) {
    size_t len = 0;
    const char* q = *p;
    for (; q < end && *q >= '0' && *q <= '9' && len < outSize; q++) {
        len = len * 10 + static_cast<size_t>(*q - '0');
    }
    if (q == *p || q >= end || *q != ' ' || len >= outSize ||
        static_cast<size_t>(end - q) < len + 2 || q[1 + len] != '\n') {
        return false;
    }
    memcpy(out, q + 1, len);
    out[len] = '\0';
    *p = q + len + 2;
    return strlen(out) == len;
}

bool TakeLine(const char** p, const char* end, const char* line) {
    size_t len = strlen(line);
    if (static_cast<size_t>(end - *p) < len + 1 || memcmp(*p, line, len) != 0 ||
        (*p)[len] != '\n') {
        return false;
    }
    *p += len + 1;
    return true;
}

bool ParseHead(const char** p, const char* end, LCT_RECORD* rec) {
    char option[8];
    const char* q = *p;
    if (!TakeLine(&q, end, kMagic) || !TakeWord(&q, end, "option")) {
        return false;
    }
    const char* nl = static_cast<const char*>(memchr(q, '\n', static_cast<size_t>(end - q)));
    if (nl == nullptr || nl - q < 1 || static_cast<size_t>(nl - q) >= sizeof(option)) {
        return false;
    }
    snprintf(option, sizeof(option), "%.*s", static_cast<int>(nl - q), q);
    rec->option = atoi(option);
    q = nl + 1;
    rec->archive[0] = '\0';
    if (TakeWord(&q, end, "archive") && !TakeValue(&q, end, rec->archive, sizeof(rec->archive))) {
        return false;
    }
    *p = q;
    return true;
}

bool ArchiveIsPlausible(const LCT_RECORD* rec) {
    size_t len = strlen(rec->archive);
    if (rec->option != LOG_COMPRESS_OPTION_FULL) {
        return len == 0 && (rec->option == LOG_COMPRESS_OPTION_ONLY_COMPRESS ||
                            rec->option == LOG_COMPRESS_OPTION_TIMER);
    }
    return len > 5 && rec->archive[0] == '/' && strcmp(rec->archive + len - 4, ".tar") == 0 &&
           strstr(rec->archive, "/../") == nullptr;
}

}  // namespace

bool LCTRecordParse(const char* text, size_t len, LCT_RECORD* rec) {
    const char* p = text;
    const char* end = text + len;
    if (!ParseHead(&p, end, rec) || !ArchiveIsPlausible(rec)) {
        return false;
    }
    rec->files = p;
    rec->fileCount = 0;
    char name[kLctPathMax];
    while (TakeWord(&p, end, "file")) {
        if (!TakeValue(&p, end, name, sizeof(name)) || !LCTIsBareName(name)) {
            return false;
        }
        rec->fileCount++;
    }
    rec->filesEnd = p;
    return TakeLine(&p, end, "end") && p == end;
}

bool LCTRecordNextFile(const char** cursor, const LCT_RECORD* rec, char* name, size_t nameSize) {
    if (*cursor >= rec->filesEnd) {
        return false;
    }
    return TakeWord(cursor, rec->filesEnd, "file") &&
           TakeValue(cursor, rec->filesEnd, name, nameSize);
}
