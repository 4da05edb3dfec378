/* Host file compressor: compresses one file in slices.
 *
 * The output of source S is S FILE_COMPRESS_OUTPUT_SUFFIX ("S.gz"). Contract:
 * - While it compresses, the output grows in the temporary S FILE_COMPRESS_TEMP_SUFFIX
 *   ("S~gz"), exactly as long as the output path, so a source whose output path fits in the
 *   caller's buffer (255 characters in a 256-byte one) can always be compressed. The temporary
 *   is created exclusively, never through a link, and held under an exclusive flock until it is
 *   renamed or removed. A temporary that nobody holds locked is a leftover of an interrupted run:
 *   Start removes it (the name only) and creates it afresh; one that another compression holds
 *   makes Start fail.
 * - The output exists under its final name only once it is complete and on disk: the temporary
 *   is fsynced, renamed, and its directory fsynced. Only then, with needDelete, is the source
 *   removed, and only if its path still names the file that was compressed.
 * - An existing output is never replaced. If S.gz is a regular file, its bytes are copied into
 *   the temporary first and the new content follows as further gzip members: a reader sees the
 *   old lines, then the new ones. If S.gz is anything else (a link, a directory...), or changes
 *   while S is compressed, nothing is touched and the compression fails.
 * - The source is opened without following a link: a link is refused, as is anything but a
 *   regular file. */
#ifndef FILE_COMPRESS_H
#define FILE_COMPRESS_H

#include <stdbool.h>
#include <stdint.h>

#define FILE_COMPRESS_OUTPUT_SUFFIX ".gz"
#define FILE_COMPRESS_TEMP_SUFFIX "~gz"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum FileCompressLevel {
    FILE_COMPRESS_LEVEL_0 = 0,
    FILE_COMPRESS_LEVEL_1,
    FILE_COMPRESS_LEVEL_2,
    FILE_COMPRESS_LEVEL_3,
    FILE_COMPRESS_LEVEL_4,
    FILE_COMPRESS_LEVEL_5,
    FILE_COMPRESS_LEVEL_6,
    FILE_COMPRESS_LEVEL_7,
    FILE_COMPRESS_LEVEL_8,
    FILE_COMPRESS_LEVEL_9,
    FILE_COMPRESS_LEVEL_MAX,
} FILE_COMPRESS_LEVEL;

/* Result of one slice, and a task's final status. */
typedef enum FileCompressStatus {
    FILE_COMPRESS_STATUS_FINISHED = 0,
    FILE_COMPRESS_STATUS_ONGOING = 1,
    FILE_COMPRESS_STATUS_FAILED = 2,
    FILE_COMPRESS_STATUS_CANCELLED = 3,
} FILE_COMPRESS_STATUS;

typedef struct FileCompressConfig {
    char file[256];         /* path of the file to compress */
    uint32_t compressLevel; /* FILE_COMPRESS_LEVEL_* */
    uint32_t segmentSize;   /* bytes per slice; 0 = the compressor's default */
    bool needDelete;        /* remove the source once its output is complete */
} FILE_COMPRESS_CONFIG;

typedef struct FileCompressCtx* FILE_COMPRESS_HANDLE; /* NULL: could not be opened */

/* Opens a compression; NULL (logged) on failure, with outFile untouched. On success outFile
 * holds the path of the temporary (never the final output), which the caller may remove when
 * the compression does not finish. outFileLen must hold the output path and its NUL. */
FILE_COMPRESS_HANDLE FileCompress_Start(FILE_COMPRESS_CONFIG* config, char* outFile,
                                        uint16_t outFileLen);
/* One slice of work: FINISHED, FAILED, or ONGOING (call again). */
int FileCompress_Run(FILE_COMPRESS_HANDLE handle, uint32_t delayMs);
/* Closes the handle; called once for every handle that FileCompress_Start returned. */
int FileCompress_Stop(FILE_COMPRESS_HANDLE handle);

#ifdef __cplusplus
}
#endif

#endif /* FILE_COMPRESS_H */
