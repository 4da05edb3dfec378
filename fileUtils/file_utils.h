/* Host shell runner. */
#ifndef FILE_UTILS_H
#define FILE_UTILS_H

#ifdef __cplusplus
extern "C" {
#endif

/* Runs cmd with a POSIX shell; output receives its terminated output (at most outputLen
 * bytes with the NUL). Negative on failure, 0 or more on success. */
int FILE_system(const char* cmd, char* output, int outputLen);

#ifdef __cplusplus
}
#endif

#endif /* FILE_UTILS_H */
