/* Extras of the reference file compressor for hosts and benchmarks. */
#ifndef FILE_COMPRESS_HOST_H
#define FILE_COMPRESS_HOST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* How FileCompress_Run uses delayMs: after a slice that leaves work to do it sleeps
 * delayMs milliseconds (0: not at all). A delayMs above 1 asks for a background pace (the
 * executor's dynamic mode passes 5): the sleep is then at least 3 times the CPU time the
 * slice took on the calling thread, so that thread uses at most a quarter of a core however
 * long a slice is on the machine at hand. A delayMs of 0 or 1 sleeps exactly delayMs. */

/* Bytes of source read and compressed per FileCompress_Run when segmentSize is 0. */
uint32_t FileCompressDefaultSliceBytes(void);

/* Called after every slice, on the thread that runs it. finished: 0 while going on, 1 when
 * the output is complete and in place, -1 when the compression failed. bytesTotal is the
 * source size at start (or bytesDone, if the file grew meanwhile). */
typedef void (*FileCompressProgressHook)(const char* file, uint64_t bytesDone, uint64_t bytesTotal,
                                         int finished);

/* Installs the hook for every handle (NULL removes it). Safe from any thread. */
void FileCompressSetProgressHook(FileCompressProgressHook hook);

#ifdef __cplusplus
}
#endif

#endif /* FILE_COMPRESS_HOST_H */
