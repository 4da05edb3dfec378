// Compression trigger: a reader of tar archive headers. Packaging checks with it that tar
// wrote a whole archive holding every packed file, and the restore and the crash recovery
// learn from it which members an archive holds. It reads headers only, one block per member,
// follows no link, allocates nothing and trusts nothing it reads.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "logCompress/LogCompTriggerInternal.h"

namespace {

constexpr size_t kBlock = 512;
constexpr size_t kNameOff = 0, kNameLen = 100;
constexpr size_t kSizeOff = 124, kSizeLen = 12;
constexpr size_t kMtimeOff = 136, kMtimeLen = 12;
constexpr size_t kSumOff = 148, kSumLen = 8;
constexpr size_t kTypeOff = 156;
constexpr size_t kMagicOff = 257;
constexpr size_t kPrefixOff = 345, kPrefixLen = 155;

bool IsZeroBlock(const unsigned char* b) {
    for (size_t i = 0; i < kBlock; i++) {
        if (b[i] != 0) {
            return false;
        }
    }
    return true;
}

// An octal field (spaces and NULs around the digits), or GNU's base-256 form for big values.
bool ReadNumber(const unsigned char* f, size_t len, uint64_t* value) {
    uint64_t v = 0;
    if ((f[0] & 0x80) != 0) {
        for (size_t i = 1; i < len; i++) {
            if ((v >> 56) != 0) {
                return false;
            }
            v = (v << 8) | f[i];
        }
        *value = v;
        return (f[0] & 0x7f) == 0;
    }
    size_t i = 0;
    while (i < len && f[i] == ' ') {
        i++;
    }
    bool digits = false;
    for (; i < len && f[i] >= '0' && f[i] <= '7'; i++, digits = true) {
        v = (v << 3) | static_cast<uint64_t>(f[i] - '0');
    }
    for (; i < len; i++) {
        if (f[i] != ' ' && f[i] != '\0') {
            return false;
        }
    }
    *value = v;
    return digits;
}

bool ChecksumMatches(const unsigned char* b) {
    uint64_t stored = 0;
    if (!ReadNumber(b + kSumOff, kSumLen, &stored)) {
        return false;
    }
    uint64_t sum = 0;
    for (size_t i = 0; i < kBlock; i++) {
        sum += (i >= kSumOff && i < kSumOff + kSumLen) ? ' ' : b[i];
    }
    return sum == stored;
}

// "prefix/name" of a ustar header, or the name alone.
void CopyName(const unsigned char* b, char (&name)[sizeof(LCT_TAR_MEMBER::name)]) {
    char part[kPrefixLen + 1] = {0};
    memcpy(part, b + kPrefixOff, kPrefixLen);
    // Only POSIX ustar has a prefix field; the old GNU format keeps other data there.
    const bool ustar = memcmp(b + kMagicOff, "ustar\0", 6) == 0;
    size_t at = 0;
    if (ustar && part[0] != '\0') {
        at = static_cast<size_t>(snprintf(name, sizeof(name), "%s/", part));
    }
    memset(part, 0, sizeof(part));
    memcpy(part, b + kNameOff, kNameLen);
    snprintf(name + at, sizeof(name) - at, "%s", part);
}

bool ReadBlock(int fd, uint64_t offset, unsigned char* block) {
    ssize_t n = pread(fd, block, kBlock, static_cast<off_t>(offset));
    return n == static_cast<ssize_t>(kBlock);
}

}  // namespace

LCT_TAR_STATE LCTTarWalk(const char* path, LCTTarVisit visit, void* ctx) {
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) {
            close(fd);
        }
        return fd < 0 ? LCT_TAR_ABSENT : LCT_TAR_FOREIGN;
    }
    const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
    unsigned char block[kBlock];
    uint64_t offset = 0;
    bool renamed = false;  // the next member's name comes from an extension header
    LCT_TAR_STATE state = LCT_TAR_CUT;
    while (ReadBlock(fd, offset, block)) {
        if (IsZeroBlock(block)) {
            state = LCT_TAR_COMPLETE;
            break;
        }
        LCT_TAR_MEMBER m{};
        if (!ChecksumMatches(block) || !ReadNumber(block + kSizeOff, kSizeLen, &m.size) ||
            !ReadNumber(block + kMtimeOff, kMtimeLen, &m.mtime)) {
            state = offset == 0 ? LCT_TAR_FOREIGN : LCT_TAR_CUT;
            break;
        }
        const uint64_t dataEnd = offset + kBlock + (m.size + kBlock - 1) / kBlock * kBlock;
        if (dataEnd < offset || dataEnd > fileSize) {
            break;  // the data runs past the end: cut short
        }
        m.type = static_cast<char>(block[kTypeOff]);
        const bool extension = m.type == 'L' || m.type == 'K' || m.type == 'x' || m.type == 'g';
        if (!extension) {
            CopyName(block, m.name);
            m.renamed = renamed;
            renamed = false;
            if (visit != nullptr) {
                visit(&m, ctx);
            }
        } else if (m.type != 'g') {
            renamed = renamed || m.type != 'K';
        }
        offset = dataEnd;
    }
    close(fd);
    return state;
}

bool LCTTarMemberIsPlainFile(const LCT_TAR_MEMBER* m) {
    return !m->renamed && (m->type == '0' || m->type == '\0') && LCTIsBareName(m->name);
}

bool LCTIsBareName(const char* name) {
    return name != nullptr && name[0] != '\0' && name[0] != '-' && strchr(name, '/') == nullptr &&
           strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}
