/* Export control: the shared library is built with hidden visibility and exports only
 * what is marked LOGCOMP_API. */
#ifndef LOG_COMP_EXPORT_H
#define LOG_COMP_EXPORT_H

#if defined(__GNUC__)
#define LOGCOMP_API __attribute__((visibility("default")))
#define LOGCOMP_HIDDEN __attribute__((visibility("hidden")))
#else
#define LOGCOMP_API
#define LOGCOMP_HIDDEN
#endif

#endif /* LOG_COMP_EXPORT_H */
