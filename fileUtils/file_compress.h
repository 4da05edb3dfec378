/* Host file compressor: compresses one file in slices. */
#ifndef FILE_COMPRESS_H
#define FILE_COMPRESS_H

#include <stdbool.h>
#include <stdint.h>

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

/* Opens a compression; on success outFile holds the path of the output it produces. */
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
