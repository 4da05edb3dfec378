// Reference file compressor: gzip in slices, one gzip member per slice.
//
// Each slice reads up to segmentSize bytes of the source and appends them to the output as a
// complete gzip member; readers that loop over members (gzip, zcat, tar) see one stream.
// The output grows under a temporary name next to the source and takes its final name
// "<source>.gz" only once it is complete and on disk, so an interrupted or failed run never
// leaves a partial archive. An archive already there is copied into the temporary first, a
// slice at a time, so the new members follow its own and nothing of it is lost.
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
#include "fileUtils/file_compress_log.h"
#include "fileUtils/file_compress_temp.h"
#include "fileUtils/write_all.h"

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
constexpr char kOutputSuffix[] = FILE_COMPRESS_OUTPUT_SUFFIX;
constexpr char kTempSuffix[] = FILE_COMPRESS_TEMP_SUFFIX;
// Whatever the output path fits in, so does the temporary's.
static_assert(sizeof kTempSuffix == sizeof kOutputSuffix);
constexpr size_t kPathCap = sizeof(FILE_COMPRESS_CONFIG::file) + sizeof kOutputSuffix - 1;

std::atomic<FileCompressProgressHook> sProgressHook{nullptr};

enum class Phase { kRunning, kFinished, kFailed };

struct CompressorFree {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

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
    int outFd = -1;   // the temporary, locked while open
    int keptFd = -1;  // an output that existed at Start, copied into the temporary first
    Phase phase = Phase::kRunning;
    bool needDelete = false;
    struct stat srcSt {};
    struct stat keptSt {};
    uint64_t total = 0;
    uint64_t done = 0;
    uint64_t written = 0;  // bytes of output so far, the kept ones included
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
        if (keptFd >= 0) ::close(keptFd);
        if (outFd >= 0) FileCompressTempDiscard(tmp, outFd);
    }
};

namespace {

using Ctx = FileCompressCtx;

size_t SliceBytesFor(uint32_t segmentSize) {
    if (segmentSize == 0) return kDefaultSliceBytes;
    return std::clamp(segmentSize, kMinSliceBytes, kMaxSliceBytes);
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool SameContent(const struct stat& a, const struct stat& b) {
    return SameFile(a, b) && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Opens without following a link and without blocking (a FIFO would wait for a writer);
// accepts only a regular file. -1 (logged) otherwise.
int OpenRegular(const char* path, struct stat* st) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0 && errno == ELOOP) {
        HOST_LOG(LEVEL_ERROR, "FileCompress %s is a symbolic link: refused", path);
        return -1;
    }
    if (fd < 0) {
        FileCompressLogErrno("open", path, errno);
        return -1;
    }
    if (::fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
        HOST_LOG(LEVEL_ERROR, "FileCompress %s is not a regular file", path);
        ::close(fd);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

bool OpenSource(Ctx* c) {
    c->srcFd = OpenRegular(c->src, &c->srcSt);
    c->total = static_cast<uint64_t>(c->srcSt.st_size);
    return c->srcFd >= 0;
}

// An output that exists already is kept: a regular file is opened to be copied into the
// temporary; anything else under that name is left alone and the compression refused.
bool OpenKeptOutput(Ctx* c) {
    struct stat st {};
    if (::lstat(c->dst, &st) != 0) {
        if (errno == ENOENT) return true;
        FileCompressLogErrno("lstat", c->dst, errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        HOST_LOG(LEVEL_ERROR, "FileCompress %s exists and is not a regular file: %s not compressed",
                 c->dst, c->src);
        return false;
    }
    c->keptFd = OpenRegular(c->dst, &c->keptSt);
    if (c->keptFd < 0) return false;
    HOST_LOG(LEVEL_INFO,
             "FileCompress %s exists: its %llu bytes are kept and the new content is added as "
             "further gzip members",
             c->dst, static_cast<unsigned long long>(c->keptSt.st_size));
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
    c->outFd = FileCompressTempCreate(c->tmp);
    if (c->outFd < 0) return false;
    (void)::fchmod(c->outFd, c->srcSt.st_mode & 0666);
    return true;
}

// Fills buf from fd as far as fd allows; returns the byte count or -1.
ssize_t ReadFull(int fd, uint8_t* buf, size_t cap) {
    size_t got = 0;
    while (got < cap) {
        const ssize_t r = ::read(fd, buf + got, cap - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

bool WriteOut(Ctx* c, const uint8_t* p, size_t n) {
    if (!WriteAll(c->outFd, p, n)) {
        FileCompressLogErrno("write", c->tmp, errno);
        return false;
    }
    // Start writeback now so the final fsync has little left to wait for.
    (void)::sync_file_range(c->outFd, static_cast<off_t>(c->written), static_cast<off_t>(n),
                            SYNC_FILE_RANGE_WRITE);
    c->written += n;
    return true;
}

bool AppendMember(Ctx* c, size_t n) {
    const size_t z =
        libdeflate_gzip_compress(c->comp.get(), c->in.get(), n, c->out.get(), c->outCap);
    if (z == 0) {
        HOST_LOG(LEVEL_ERROR, "FileCompress deflate failed for %s", c->src);
        return false;
    }
    return WriteOut(c, c->out.get(), z);
}

// The kept bytes are the first ones written to the temporary.
uint64_t KeptBytesLeft(const Ctx* c) {
    const uint64_t kept = c->keptFd < 0 ? 0 : static_cast<uint64_t>(c->keptSt.st_size);
    return kept > c->written ? kept - c->written : 0;
}

// Copies one slice of the kept output into the temporary, through the input buffer.
bool CopyKept(Ctx* c) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(KeptBytesLeft(c), c->sliceBytes));
    const ssize_t n = ReadFull(c->keptFd, c->in.get(), want);
    if (n < 0) {
        FileCompressLogErrno("read", c->dst, errno);
        return false;
    }
    if (static_cast<size_t>(n) < want) {
        HOST_LOG(LEVEL_ERROR, "FileCompress %s shrank while it was copied", c->dst);
        return false;
    }
    return WriteOut(c, c->in.get(), want);
}

// Removes the source only if the path still names the file that was compressed.
void DeleteSource(Ctx* c) {
    struct stat st {};
    if (::lstat(c->src, &st) != 0 || !SameFile(st, c->srcSt)) {
        HOST_LOG(LEVEL_WARN, "FileCompress %s was removed or replaced meanwhile, not deleted",
                 c->src);
        return;
    }
    if (::unlink(c->src) != 0) FileCompressLogErrno("delete", c->src, errno);
}

// The output's name must hold what was kept, or nothing if nothing was: an archive that
// appeared or changed meanwhile is never replaced.
bool OutputUnchanged(const Ctx* c) {
    struct stat st {};
    const bool exists = ::lstat(c->dst, &st) == 0;
    if (c->keptFd >= 0 ? exists && SameContent(st, c->keptSt) : !exists && errno == ENOENT)
        return true;
    HOST_LOG(LEVEL_ERROR, "FileCompress %s changed meanwhile: left as it is, %s not compressed",
             c->dst, c->src);
    return false;
}

// fsync, rename, fsync of the directory: the final name appears only for a complete output
// on disk. The temporary stays locked until it is renamed.
bool Complete(Ctx* c) {
    if (::fsync(c->outFd) != 0) {
        FileCompressLogErrno("fsync", c->tmp, errno);
        return false;
    }
    if (!OutputUnchanged(c)) return false;
    if (::rename(c->tmp, c->dst) != 0) {
        FileCompressLogErrno("rename", c->dst, errno);
        return false;
    }
    c->phase = Phase::kFinished;
    ::close(c->outFd);
    c->outFd = -1;
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
int CompressSlice(Ctx* c) {
    const ssize_t n = ReadFull(c->srcFd, c->in.get(), c->sliceBytes);
    if (n < 0) {
        FileCompressLogErrno("read", c->src, errno);
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

// The kept output's bytes go first, a slice at a time, then the source's.
int Slice(Ctx* c) {
    if (KeptBytesLeft(c) == 0) return CompressSlice(c);
    if (!CopyKept(c)) return Fail(c);
    Report(c, 0);
    return FILE_COMPRESS_STATUS_ONGOING;
}

// The source name is terminated and its output path fits in outFileLen bytes.
bool NameFits(const FILE_COMPRESS_CONFIG* config, size_t len, uint16_t outFileLen) {
    if (len == 0 || len == sizeof config->file) {
        HOST_LOG(LEVEL_ERROR, "FileCompress_Start: empty or unterminated file name");
        return false;
    }
    if (len + sizeof kOutputSuffix > outFileLen) {
        HOST_LOG(LEVEL_ERROR, "FileCompress_Start: output path of %s exceeds %u bytes",
                 config->file, static_cast<unsigned>(outFileLen));
        return false;
    }
    return true;
}

// Opens the source and a kept output, takes the memory, and creates the temporary last, so
// that a refusal creates nothing.
bool Open(Ctx* c, const FILE_COMPRESS_CONFIG* config) {
    c->needDelete = config->needDelete;
    c->sliceBytes = SliceBytesFor(config->segmentSize);
    if (!OpenSource(c) || !OpenKeptOutput(c)) return false;
    if (!AllocWork(c, config->compressLevel)) {
        HOST_LOG(LEVEL_ERROR, "FileCompress_Start: out of memory for %s", c->src);
        return false;
    }
    return CreateTemp(c);
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
    if (!NameFits(config, len, outFileLen)) return nullptr;
    std::unique_ptr<Ctx> c(new (std::nothrow) Ctx());
    if (!c) return nullptr;
    std::memcpy(c->src, config->file, len);
    std::snprintf(c->dst, sizeof c->dst, "%s%s", c->src, kOutputSuffix);
    std::snprintf(c->tmp, sizeof c->tmp, "%s%s", c->src, kTempSuffix);
    if (!Open(c.get(), config)) return nullptr;
    std::memcpy(outFile, c->tmp, len + sizeof kTempSuffix);
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
