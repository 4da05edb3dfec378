/* Date utilities: calendar days as struct tm, parsed from several text formats, and
 * growable lists of "%Y-%m-%d" date strings. All in UTC; nothing here logs a failure.
 *
 * ParseDateEx with a null format tries, in order: "%Y-%m-%d", "%Y/%m/%d", "%Y%m%d",
 * "%Y年%m月%d日", "%d-%m-%Y", "%d/%m/%Y", "%m/%d/%Y"; the whole text must match and the
 * first match wins (07/03/2024 is 7 March). A given format never falls back to the list.
 *
 * GenerateDateRange lists every day between two such texts, both ends included,
 * ascending, whichever end comes first; a day past its month's end rolls over
 * (2024-02-30 is 2024-03-01); years 1900 to 2099 only. GenerateWorkdays keeps Monday to
 * Friday (a charging-station operator's work week), computed with Zeller's congruence
 * (0 Sunday ... 6 Saturday; keep 1..5). Every list returned belongs to the caller,
 * who releases it with FreeDateList. */
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
