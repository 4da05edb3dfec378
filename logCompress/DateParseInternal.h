/* Date unit internals shared with its tests: the ordered day range behind the list
 * generators, field validation, formatting and the one-day step. Not exported. */
#ifndef DATE_PARSE_INTERNAL_H
#define DATE_PARSE_INTERNAL_H

#include <stdbool.h>
#include <time.h>

#include "logCompress/DateParse.h"
#include "logCompress/LogCompExport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Two days, start not later than end, UTC, time of day 0. All-zero (day of month 0)
 * means "no range". */
typedef struct DateRange {
    struct tm start;
    struct tm end;
} DateRange;

/* True when year is 1900..2099, month 0..11 and day 1..31 (not checked against the
 * month's length). */
LOGCOMP_HIDDEN bool IsValidDate(const struct tm* tm);

/* strftime into a new calloc'ed string ("%Y-%m-%d" when format is null); the caller
 * frees it. Null for a null date, when the text does not fit in 31 characters, or when
 * memory runs out. */
LOGCOMP_HIDDEN char* FormatDateEx(const struct tm* date, const char* format);

/* Parses both texts with the accepted-format table and orders them; a day beyond the
 * end of its month rolls into the next one. All-zero range when either text fails. */
LOGCOMP_HIDDEN DateRange GetDateRangeUTC(const char* strBeginTime, const char* strEndTime);

/* Advances the day fields to the next calendar day; false only for null. */
LOGCOMP_HIDDEN bool IncrementDateByOneDay(struct tm* date);

#ifdef __cplusplus
}
#endif

#endif /* DATE_PARSE_INTERNAL_H */
