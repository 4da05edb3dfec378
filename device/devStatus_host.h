/* Host side of the device status service: which directory is the data card. */
#ifndef DEV_STATUS_HOST_H
#define DEV_STATUS_HOST_H

#ifdef __cplusplus
extern "C" {
#endif

#define DEV_DEFAULT_SD_MOUNT_POINT "/media/data"

/* The data card's mount point that DEV_getSdStatus reports on; DEV_DEFAULT_SD_MOUNT_POINT at
 * start, and again after NULL. A path that does not fit PATH_MAX is refused (logged; the previous
 * one stays). Safe from any thread. */
void DEV_setSdMountPoint(const char* path);

#ifdef __cplusplus
}
#endif

#endif /* DEV_STATUS_HOST_H */
