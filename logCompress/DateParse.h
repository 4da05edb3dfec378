/* Date utilities: calendar days as struct tm, parsed from several text formats, and
 * growable lists of "%Y-%m-%d" date strings. All in UTC; nothing here logs a failure. */
#ifndef DATE_PARSE_H
#define DATE_PARSE_H

#include <stdbool.h>
#include <time.h>

#include "logCompress/LogCompExport.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct DateList {
    char** dates; /* capacity slots; 0..count-1 hold strings owned by the list */
    int count;
    int capacity;
} DateList;

LOGCOMP_API bool ParseDateEx(const char* strDate, struct tm* result, const char* format);
LOGCOMP_API int CompareDates(const struct tm* date1, const struct tm* date2);
LOGCOMP_API bool IsLeapYear(int year);
LOGCOMP_API int GetDaysInMonth(int year, int month);

LOGCOMP_API DateList* CreateDateList(int capacity);
LOGCOMP_API void FreeDateList(DateList* list);
LOGCOMP_API bool AddDateToList(DateList* list, const char* strDate);
LOGCOMP_API DateList* GenerateDateRange(const char* strBeginTime, const char* strEndTime,
                                        int capacity);
LOGCOMP_API DateList* GenerateWorkdays(const char* strBeginTime, const char* strEndTime,
                                       int capacity);
LOGCOMP_API void PrintDateList(const DateList* list);

#ifdef __cplusplus
}
#endif

#endif /* DATE_PARSE_H */
