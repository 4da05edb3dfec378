/* Host device status: the data card and the usage of a file system. */
#ifndef DEV_STATUS_H
#define DEV_STATUS_H

#ifdef __cplusplus
extern "C" {
#endif

enum SdStatus {
    SD_STATUS_OK = 0,
    SD_STATUS_UNMOUNT = 1,
    SD_STATUS_FORMAT_ERR = 2,
    SD_STATUS_READ_ONLY = 3,
};

typedef struct DevFilesystemUsage {
    unsigned long long totalBytes;
    unsigned long long usedBytes;
    unsigned long long availableBytes;
    double usageRatio; /* percent in use, 0 to 100 */
} Dev_Filesystem_Usage;

/* One of SD_STATUS_*; SD_STATUS_OK when the card is mounted, formatted and writable. */
int DEV_getSdStatus(void);
/* 0 with all fields filled for the file system holding path; anything else is failure. */
int DEV_getFilesystemUsage(const char* path, Dev_Filesystem_Usage* usage);

#ifdef __cplusplus
}
#endif

#endif /* DEV_STATUS_H */
