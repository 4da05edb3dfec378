// Reference file compressor: gzip in slices, one gzip member per slice.
//
// Each slice reads up to segmentSize bytes of the source and appends them to the output as a
// complete gzip member; readers that loop over members (gzip, zcat, tar) see one stream.
// The output grows under a temporary name next to the source and takes its final name
// "<source>.gz" only once it is complete and on disk, so an interrupted or failed run never
// leaves a partial archive and never replaces a good one.
#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "fileUtils/file_compress.h"
#include "fileUtils/file_compress_host.h"
#include "logsys/log_sys.h"

#define FC_LOG(level, ...) log_sendByLevelFile(LOG_SYSTEM, (level), __func__, __LINE__, __VA_ARGS__)

namespace {

// 3 MiB keeps a slice near 12 ms at level 4 on the reference machine (under 20 ms at worst)
// while a 1 ms delay between slices costs under 10 % (bench/COMPRESSOR.md).
constexpr uint32_t kDefaultSliceBytes = 3u << 20;
constexpr uint32_t kMinSliceBytes = 4u << 10;
constexpr uint32_t kMaxSliceBytes = 64u << 20;
// A delay above 1 ms asks for a background pace: the pause after a slice is then at least
// this many times the slice's CPU time, so the compressing thread stays under a quarter of
// a core whatever the slice costs (bench/RESULTS.md).
constexpr uint32_t kBackgroundDelayMs = 1;
constexpr uint64_t kBackgroundIdlePerBusy = 3;
constexpr char kTmpSuffix[] = ".gz.tmp.XXXXXX";
constexpr size_t kPathCap = sizeof(FILE_COMPRESS_CONFIG::file) + sizeof kTmpSuffix;

std::atomic<FileCompressProgressHook> sProgressHook{nullptr};

enum class Phase { kRunning, kFinished, kFailed };

const char* ErrText(int err, char* buf, size_t cap) {
    return strerror_r(err, buf, cap);
}

void LogErrno(const char* what, const char* path, int err) {
    char buf[96];
    FC_LOG(LEVEL_ERROR, "FileCompress %s failed for %s: %s", what, path,
           ErrText(err, buf, sizeof buf));
}

struct CompressorFree {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

bool WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return false;
        if (w == 0) {
            errno = ENOSPC;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

uint64_t ThreadCpuNs() {
    struct timespec ts {};
    (void)clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

void SleepNs(uint64_t ns) {
    struct timespec left {
        static_cast<time_t>(ns / 1000000000ull), static_cast<long>(ns % 1000000000ull)
    };
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// The pause after a slice that took sliceCpuNs of this thread's CPU: delayMs, and in the
// background pace (delayMs above 1) no less than kBackgroundIdlePerBusy times the slice.
uint64_t PauseNs(uint32_t delayMs, uint64_t sliceCpuNs) {
    const uint64_t asked = static_cast<uint64_t>(delayMs) * 1000000ull;
    if (delayMs <= kBackgroundDelayMs) return asked;
    return std::max(asked, sliceCpuNs * kBackgroundIdlePerBusy);
}

// Makes a rename durable: the directory entry itself is flushed.
void SyncParentDir(const char* path) {
    char dir[kPathCap];
    std::snprintf(dir, sizeof dir, "%s", path);
    char* slash = std::strrchr(dir, '/');
    if (slash == dir) {
        slash[1] = '\0';
    } else if (slash != nullptr) {
        *slash = '\0';
    } else {
        std::snprintf(dir, sizeof dir, ".");
    }
    const int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

struct FileCompressCtx {
    int srcFd = -1;
    int outFd = -1;
    Phase phase = Phase::kRunning;
    bool needDelete = false;
    dev_t srcDev = 0;
    ino_t srcIno = 0;
    uint64_t total = 0;
    uint64_t done = 0;
    uint64_t written = 0;  // bytes of output so far
    size_t sliceBytes = 0;
    size_t outCap = 0;
    std::unique_ptr<libdeflate_compressor, CompressorFree> comp;
    std::unique_ptr<uint8_t[]> in;
    std::unique_ptr<uint8_t[]> out;
    char src[sizeof(FILE_COMPRESS_CONFIG::file)] = {};
    char tmp[kPathCap] = {};
    char dst[kPathCap] = {};

    ~FileCompressCtx() {
        if (srcFd >= 0) ::close(srcFd);
        if (outFd >= 0) ::close(outFd);
        if (phase != Phase::kFinished && tmp[0] != '\0') ::unlink(tmp);
    }
};

namespace {

using Ctx = FileCompressCtx;

size_t SliceBytesFor(uint32_t segmentSize) {
    if (segmentSize == 0) return kDefaultSliceBytes;
    return std::clamp(segmentSize, kMinSliceBytes, kMaxSliceBytes);
}

// Opens the source without blocking (a FIFO would wait for a writer) and accepts only
// regular files.
bool OpenSource(Ctx* c) {
    c->srcFd = ::open(c->src, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (c->srcFd < 0) {
        LogErrno("open", c->src, errno);
        return false;
    }
    struct stat st {};
    if (::fstat(c->srcFd, &st) != 0 || !S_ISREG(st.st_mode)) {
        FC_LOG(LEVEL_ERROR, "FileCompress %s is not a regular file", c->src);
        return false;
    }
    const int flags = ::fcntl(c->srcFd, F_GETFL);
    if (flags >= 0) (void)::fcntl(c->srcFd, F_SETFL, flags & ~O_NONBLOCK);
    c->srcDev = st.st_dev;
    c->srcIno = st.st_ino;
    c->total = static_cast<uint64_t>(st.st_size);
    return true;
}

// All memory of the handle is taken here, once; slices allocate nothing.
bool AllocWork(Ctx* c, uint32_t level) {
    c->comp.reset(libdeflate_alloc_compressor(static_cast<int>(std::min<uint32_t>(level, 9))));
    if (!c->comp) return false;
    c->outCap = libdeflate_gzip_compress_bound(c->comp.get(), c->sliceBytes);
    c->in.reset(new (std::nothrow) uint8_t[c->sliceBytes]);
    c->out.reset(new (std::nothrow) uint8_t[c->outCap]);
    return c->in && c->out;
}

bool CreateTemp(Ctx* c) {
    c->outFd = ::mkostemp(c->tmp, O_CLOEXEC);
    if (c->outFd < 0) {
        LogErrno("create", c->tmp, errno);
        c->tmp[0] = '\0';
        return false;
    }
    struct stat st {};
    if (::fstat(c->srcFd, &st) == 0) (void)::fchmod(c->outFd, st.st_mode & 0666);
    return true;
}

// Fills the input buffer as far as the source allows; returns the byte count or -1.
ssize_t ReadSlice(Ctx* c) {
    size_t got = 0;
    while (got < c->sliceBytes) {
        const ssize_t r = ::read(c->srcFd, c->in.get() + got, c->sliceBytes - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

bool AppendMember(Ctx* c, size_t n) {
    const size_t z =
        libdeflate_gzip_compress(c->comp.get(), c->in.get(), n, c->out.get(), c->outCap);
    if (z == 0) {
        FC_LOG(LEVEL_ERROR, "FileCompress deflate failed for %s", c->src);
        return false;
    }
    if (!WriteAll(c->outFd, c->out.get(), z)) {
        LogErrno("write", c->tmp, errno);
        return false;
    }
    // Start writeback now so the final fsync has little left to wait for.
    (void)::sync_file_range(c->outFd, static_cast<off_t>(c->written), static_cast<off_t>(z),
                            SYNC_FILE_RANGE_WRITE);
    c->written += z;
    return true;
}

// Removes the source only if the path still names the file that was compressed.
void DeleteSource(Ctx* c) {
    struct stat st {};
    if (::stat(c->src, &st) != 0 || st.st_dev != c->srcDev || st.st_ino != c->srcIno) {
        FC_LOG(LEVEL_WARN, "FileCompress %s was removed or replaced meanwhile, not deleted",
               c->src);
        return;
    }
    if (::unlink(c->src) != 0) LogErrno("delete", c->src, errno);
}

bool Complete(Ctx* c) {
    if (::fsync(c->outFd) != 0) {
        LogErrno("fsync", c->tmp, errno);
        return false;
    }
    const int fd = c->outFd;
    c->outFd = -1;
    if (::close(fd) != 0) {
        LogErrno("close", c->tmp, errno);
        return false;
    }
    if (::rename(c->tmp, c->dst) != 0) {
        LogErrno("rename", c->dst, errno);
        return false;
    }
    c->phase = Phase::kFinished;
    SyncParentDir(c->dst);
    if (c->needDelete) DeleteSource(c);
    return true;
}

void Report(const Ctx* c, int finished) {
    const FileCompressProgressHook hook = sProgressHook.load(std::memory_order_acquire);
    if (hook != nullptr) hook(c->src, c->done, std::max(c->total, c->done), finished);
}

int Fail(Ctx* c) {
    c->phase = Phase::kFailed;
    Report(c, -1);
    return FILE_COMPRESS_STATUS_FAILED;
}

// One slice: read, compress, append; at the end of the source, put the output in place.
int Slice(Ctx* c) {
    const ssize_t n = ReadSlice(c);
    if (n < 0) {
        LogErrno("read", c->src, errno);
        return Fail(c);
    }
    // An empty source still gets one (empty) member: a valid, empty archive.
    if ((n > 0 || c->done == 0) && !AppendMember(c, static_cast<size_t>(n))) return Fail(c);
    c->done += static_cast<uint64_t>(n);
    if (static_cast<size_t>(n) == c->sliceBytes) {
        Report(c, 0);
        return FILE_COMPRESS_STATUS_ONGOING;
    }
    if (!Complete(c)) return Fail(c);
    Report(c, 1);
    return FILE_COMPRESS_STATUS_FINISHED;
}

}  // namespace

extern "C" {

uint32_t FileCompressDefaultSliceBytes(void) {
    return kDefaultSliceBytes;
}

void FileCompressSetProgressHook(FileCompressProgressHook hook) {
    sProgressHook.store(hook, std::memory_order_release);
}

FILE_COMPRESS_HANDLE FileCompress_Start(FILE_COMPRESS_CONFIG* config, char* outFile,
                                        uint16_t outFileLen) {
    if (config == nullptr || outFile == nullptr) return nullptr;
    const size_t len = strnlen(config->file, sizeof config->file);
    if (len == 0 || len == sizeof config->file) {
        FC_LOG(LEVEL_ERROR, "FileCompress_Start: empty or unterminated file name");
        return nullptr;
    }
    if (len + sizeof kTmpSuffix > outFileLen) {
        FC_LOG(LEVEL_ERROR, "FileCompress_Start: output path of %s exceeds %u bytes", config->file,
               static_cast<unsigned>(outFileLen));
        return nullptr;
    }
    std::unique_ptr<Ctx> c(new (std::nothrow) Ctx());
    if (!c) return nullptr;
    std::memcpy(c->src, config->file, len);
    std::snprintf(c->dst, sizeof c->dst, "%s.gz", c->src);
    std::snprintf(c->tmp, sizeof c->tmp, "%s%s", c->src, kTmpSuffix);
    c->needDelete = config->needDelete;
    c->sliceBytes = SliceBytesFor(config->segmentSize);
    if (!OpenSource(c.get())) return nullptr;
    if (!AllocWork(c.get(), config->compressLevel)) {
        FC_LOG(LEVEL_ERROR, "FileCompress_Start: out of memory for %s", c->src);
        return nullptr;
    }
    if (!CreateTemp(c.get())) return nullptr;
    std::memcpy(outFile, c->tmp, std::strlen(c->tmp) + 1);
    return c.release();
}

int FileCompress_Run(FILE_COMPRESS_HANDLE handle, uint32_t delayMs) {
    if (handle == nullptr) return FILE_COMPRESS_STATUS_FAILED;
    if (handle->phase == Phase::kFinished) return FILE_COMPRESS_STATUS_FINISHED;
    if (handle->phase == Phase::kFailed) return FILE_COMPRESS_STATUS_FAILED;
    const uint64_t cpu0 = delayMs > kBackgroundDelayMs ? ThreadCpuNs() : 0;
    const int ret = Slice(handle);
    if (ret == FILE_COMPRESS_STATUS_ONGOING && delayMs > 0) {
        const uint64_t sliceCpu = delayMs > kBackgroundDelayMs ? ThreadCpuNs() - cpu0 : 0;
        SleepNs(PauseNs(delayMs, sliceCpu));
    }
    return ret;
}

int FileCompress_Stop(FILE_COMPRESS_HANDLE handle) {
    if (handle == nullptr) return -1;
    delete handle;
    return 0;
}

}  // extern "C"
