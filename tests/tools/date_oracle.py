#!/usr/bin/env python3
"""Independent oracle for the date-range tests.

Usage: date_oracle.py SEED [PAIRS]  (2000 pairs by default)

Draws PAIRS random pairs of days between 1900-01-01 and 2099-12-31 (seeded), writes each
end in one of the accepted text formats, and prints what the range and work-day lists
must be, computed with Python's datetime only. One line per pair, tab-separated:

  F <begin> <end> <dates, comma-separated> <one 0/1 flag per date: Monday to Friday>
  H <begin> <end> <count> <first> <last> <crc32> <workday count> <workday crc32>

F pairs (short spans) are checked element by element; H pairs (long spans) by count,
ends and the CRC-32 of the list's strings, each followed by a newline.
"""

import datetime
import random
import sys
import zlib

FIRST = datetime.date(1900, 1, 1)
LAST = datetime.date(2099, 12, 31)
DAY = datetime.timedelta(days=1)

# (layout, year/month/day order) of the accepted formats; the parser tries them in this
# order and the first full match wins.
FORMATS = [
    ("{y}-{m}-{d}", True),
    ("{y}/{m}/{d}", True),
    ("{y}{m}{d}", False),  # no separators: digits must be padded
    ("{y}年{m}月{d}日", True),
    ("{d}-{m}-{y}", True),
    ("{d}/{m}/{y}", True),
    ("{m}/{d}/{y}", True),
]
MONTH_FIRST = 6


def month_length(year, month):
    nxt = datetime.date(year + (month == 12), month % 12 + 1, 1)
    return (nxt - datetime.date(year, month, 1)).days


def fields_for(day, rng):
    """Year, month and day-of-month that name `day`, sometimes as a day past the end of
    the previous month (2024-02-30 for 2024-03-01), which the parser rolls over."""
    if day.month > 1:
        prev_len = month_length(day.year, day.month - 1)
        if day.day <= 31 - prev_len and rng.random() < 0.5:
            return day.year, day.month - 1, prev_len + day.day
    return day.year, day.month, day.day


def rolled(year, month, mday):
    return datetime.date(year, month, 1) + datetime.timedelta(days=mday - 1)


def write(day, rng):
    """A text for `day` in a random accepted format, and the day the parser reads from it.
    Month-first text whose day is 12 or less is read day-first: the table says so."""
    year, month, mday = fields_for(day, rng)
    index = rng.randrange(len(FORMATS))
    layout, may_unpad = FORMATS[index]
    pad = not may_unpad or rng.random() < 0.7
    fmt = "{:02d}" if pad else "{}"
    text = layout.format(y="{:04d}".format(year), m=fmt.format(month), d=fmt.format(mday))
    if index == MONTH_FIRST and mday <= 12:
        return text, datetime.date(year, mday, month)
    return text, rolled(year, month, mday)


def random_day(rng, low=FIRST, high=LAST):
    return low + datetime.timedelta(days=rng.randrange((high - low).days + 1))


def days_between(first, last):
    day = first
    while day <= last:
        yield day
        day += DAY


def crc_of(days):
    crc = 0
    for day in days:
        crc = zlib.crc32(day.isoformat().encode() + b"\n", crc)
    return crc


def full_line(begin, end, first, last):
    days = list(days_between(first, last))
    dates = ",".join(d.isoformat() for d in days)
    flags = "".join("1" if d.weekday() < 5 else "0" for d in days)
    return "\t".join(["F", begin, end, dates, flags])


def hashed_line(begin, end, first, last):
    count = (last - first).days + 1
    work = [d for d in days_between(first, last) if d.weekday() < 5]
    fields = ["H", begin, end, str(count), first.isoformat(), last.isoformat(),
              str(crc_of(days_between(first, last))), str(len(work)), str(crc_of(work))]
    return "\t".join(fields)


def random_pair(rng):
    """Mostly short spans (checked element by element), some long, a few anywhere."""
    kind = rng.random()
    a = random_day(rng)
    if kind < 0.80:
        b = min(a + datetime.timedelta(days=rng.randrange(71)), LAST)
    elif kind < 0.995:
        b = min(a + datetime.timedelta(days=rng.randrange(800)), LAST)
    else:
        b = random_day(rng)
    return (a, b) if rng.random() < 0.5 else (b, a), kind < 0.80


def main():
    seed = int(sys.argv[1]) if len(sys.argv) > 1 else 1
    pairs = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    rng = random.Random(seed)
    out = []
    # The widest range and both single-day edges, always.
    out.append(hashed_line("2099-12-31", "01/01/1900", FIRST, LAST))
    out.append(full_line("1900-01-01", "19000101", FIRST, FIRST))
    out.append(full_line("2099年12月31日", "31-12-2099", LAST, LAST))
    for _ in range(pairs):
        (a, b), short = random_pair(rng)
        begin, begin_day = write(a, rng)
        end, end_day = write(b, rng)
        first, last = sorted((begin_day, end_day))
        line = full_line if short else hashed_line
        out.append(line(begin, end, first, last))
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
