/* Host shell runner. */
#ifndef FILE_UTILS_H
#define FILE_UTILS_H

#ifdef __cplusplus
extern "C" {
#endif

/* Runs cmd with a POSIX shell; output receives its terminated output (at most outputLen
 * bytes with the NUL). Negative on failure (0 only when the shell exits cleanly with 0).
 * The command runs in a process group of its own: a terminal's Ctrl-C, which signals the
 * host's foreground process group, never cuts a command (a tar, say) in half. */
int FILE_system(const char* cmd, char* output, int outputLen);

#ifdef __cplusplus
}
#endif

#endif /* FILE_UTILS_H */
