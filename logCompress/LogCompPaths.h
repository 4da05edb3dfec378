// Where the library keeps its files: the station's log directory, and the directory inside it
// that holds the records of tasks in flight (never a log, never deleted by the storage guard).
#ifndef LOG_COMP_PATHS_H
#define LOG_COMP_PATHS_H

// Test builds point the log directory into their own tree.
#ifndef LOG_COMP_LOG_DIR
#define LOG_COMP_LOG_DIR "/media/data/log"
#endif

#define LOG_COMP_RECORD_DIR_NAME ".logcomp"

#endif /* LOG_COMP_PATHS_H */
