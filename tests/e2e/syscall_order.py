#!/usr/bin/env python3
# A power cut must never find a log deleted before the file that now holds its lines is on the
# card. Traces the system calls of a real package request and a real compress-only request of
# the logcomp tool (strace -f -y) and checks that every unlink of a log file, or of the
# package's .tar, comes after the fsync of the file that holds its lines (the archive, or the .gz
# under its temporary or final name) and after the fsync of that file's directory that follows
# the rename.
#   usage: syscall_order.py TOOL LOGGEN LOGDIR OUTDIR
import datetime
import os
import re
import shutil
import subprocess
import sys

PID = re.compile(r"^(?:\[pid +(\d+)\]|(\d+)) +")
CALL = re.compile(r"^(\w+)\((.*)\) += (-?\d+)")
UNFINISHED = re.compile(r"^(\w+)\((.*) <unfinished \.\.\.>$")
RESUMED = re.compile(r"^<\.\.\. (\w+) resumed>(.*)\) += (-?\d+)")
# An argument: a descriptor with its path (-y), a quoted name, or anything else.
ARG = re.compile(r'\s*(?:(?:-?\d+|AT_FDCWD)<([^>]*)>|"((?:[^"\\]|\\.)*)"|([^,]*))\s*(?:,|$)')


def events(trace):
    # (call, paths) of every successful traced call, in the order the trace saw them end.
    pending = {}
    for line in open(trace, encoding="utf-8", errors="replace"):
        pid = PID.match(line)
        line, pid = line[pid.end() if pid else 0:].rstrip("\n"), pid and (pid.group(1) or pid.group(2))
        m = UNFINISHED.match(line)
        if m:
            pending[(pid, m.group(1))] = m.group(2)
            continue
        m = RESUMED.match(line)
        call, args, ret = ((m.group(1), pending.pop((pid, m.group(1)), "") + m.group(2), m.group(3)) if m
                           else CALL.match(line).groups() if CALL.match(line) else (None, "", ""))
        a = ARG.findall(args)[:-1] if ret == "0" else []
        path = lambda d, n: os.path.normpath(os.path.join(d[0] or "/", n[1]))
        if call in ("unlink", "rename"):  # as their *at forms, from the root
            call, a = call + "at", [x for arg in a for x in (("/", "", ""), arg)] + [("", "", "0")]
        if call in ("fsync", "fdatasync") and a:
            yield "sync", [a[0][0]]
        elif call == "unlinkat" and len(a) == 3 and a[2][2] == "0":
            yield "unlink", [path(a[0], a[1])]
        elif call in ("renameat", "renameat2") and len(a) >= 4:
            yield "rename", [path(a[0], a[1]), path(a[2], a[3])]


def check(trace, holder_of):
    # Violations, and how many unlinks were checked. The removal of a task's record must reach
    # the card as well: a record back after a power cut would be resolved a second time.
    synced, dir_synced_after, renamed_into, problems, checked, records = set(), {}, {}, [], 0, set()
    for i, (kind, paths) in enumerate(events(trace)):
        holders = holder_of(paths[0])
        if kind == "sync":
            synced.add(paths[0])
            dir_synced_after[paths[0]] = i
            records = {r for r in records if os.path.dirname(r) != paths[0]}
        elif kind == "rename":
            renamed_into[paths[1]] = i
            if paths[0] in synced:
                synced.add(paths[1])
        elif holders:
            checked += 1
            final, directory = holders[0], os.path.dirname(holders[0])
            if not any(h in synced for h in holders):
                problems.append(f"{paths[0]} unlinked before {final} was synced")
            elif dir_synced_after.get(directory, -1) < max(renamed_into.get(final, -1), 0):
                problems.append(f"{paths[0]} unlinked before {directory} was synced")
        elif os.path.basename(os.path.dirname(paths[0])) == ".logcomp":
            records.add(paths[0])
    return problems + [f"record {r} removed, its directory never synced" for r in records], checked


def main():
    tool, loggen, log_dir, out_dir = sys.argv[1:5]
    if shutil.which("strace") is None:
        sys.exit("strace is not installed (scripts/install-deps.sh)")
    today = datetime.datetime.now(datetime.timezone.utc).date()
    day = lambda n: (today - datetime.timedelta(days=n)).isoformat()
    for d in (log_dir, out_dir):
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
    run = lambda *args: subprocess.run([loggen, *args], check=True, capture_output=True, text=True).stdout
    run("--dir", log_dir, "--from", day(3), "--to", day(1), "--mb-per-day", "1")
    tar = os.path.join(out_dir, "pkg.tar")
    # The generator names the logs as the library does.
    names = {name for n in (1, 2, 3) for name in run("--names", day(n)).split()}
    logs = lambda p: os.path.dirname(p) == os.path.normpath(log_dir) and os.path.basename(p) in names
    # LeakSanitizer cannot run under ptrace; the other builds check for leaks.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
    total, failed = 0, []
    for name, args, holder in (
            ("package", ["package", "--from", day(3), "--to", day(2), "--output", tar + ".gz"],
             lambda p: [tar] if logs(p) else [tar + ".gz", tar + "~gz"] if p == tar else []),
            ("compress", ["compress", "--from", day(1)], lambda p: [p + ".gz", p + "~gz"] if logs(p) else [])):
        trace = os.path.join(out_dir, name + ".strace")
        done = subprocess.run(["strace", "-f", "-y", "-qq", "-e", "signal=none", "-e",
                               "trace=fsync,fdatasync,unlink,unlinkat,rename,renameat,renameat2",
                               "-o", trace, tool] + args, capture_output=True, text=True, env=env)
        if done.returncode != 0:
            sys.exit(f"{name} exited with {done.returncode}: {done.stderr[-2000:]}")
        problems, checked = check(trace, holder)
        failed += problems or ([] if checked else [f"{name}: no unlink of a log or archive traced"])
        total += checked
    print("".join(f"out of order: {p}\n" for p in failed), end="")
    print(f"syscall order: {total} unlinks of logs and archives checked, {len(failed)} out of order")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
