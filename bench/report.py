#!/usr/bin/env python3
"""Runs the benchmarks and prints what they show, as ratios from this one run.

    python3 bench/report.py BIN_DIR

BIN_DIR holds bench_log, bench_log_shared, logmsg and aud (the bench preset's
build/bench/bin). Needs strace for the system-call count (skipped without).
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

BIN = sys.argv[1] if len(sys.argv) > 1 else "build/bench/bin"


def bench(name, min_time="0.2", repetitions=5):
    """The fastest of a few repetitions of each benchmark: the least disturbed by the machine."""
    out = subprocess.run([os.path.join(BIN, name), "--benchmark_format=json",
                          "--benchmark_filter=-BM_Peers|BM_Sealing", "--benchmark_min_time=" + min_time,
                          f"--benchmark_repetitions={repetitions}"],
                         check=True, capture_output=True, text=True).stdout
    best = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") == "aggregate":
            continue
        key = b.get("run_name", b["name"])
        if key not in best or b["real_time"] < best[key]["real_time"]:
            best[key] = b
    return best


def ns(results, name):
    b = results.get(name)
    return None if b is None else b["real_time"] * {"ns": 1, "us": 1e3, "ms": 1e6}[b["time_unit"]]


def line(label, value, floor, note=""):
    if value is None or floor is None:
        print(f"  {label:<44} (not measured){note}")
        return
    print(f"  {label:<44} {value:9.2f} ns  {value / floor:5.2f} x{note}")


class Site:
    """A registry file, a data file and a log directory of their own, for logmsg runs: one only
    this user may write (under the current directory), or with shared, one its group may
    write (setgid, as the package's), where the shared-directory rules apply."""

    def __init__(self, lock_wait=0, shared=False):
        self.dir = os.path.realpath(tempfile.mkdtemp(prefix="vezbench-", dir="."))
        if shared:
            os.chmod(self.dir, 0o2770)
        self.env = dict(os.environ, VEZ_REGISTRY=os.path.join(self.dir, "registry.reg"),
                        TMPDIR=self.dir, TZ=os.environ.get("TZ", ":/etc/localtime"))
        with open(self.env["VEZ_REGISTRY"], "w") as f:
            f.write("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Quendrix\\VEZ]\n"
                    f"\"LOGPATH\"=\"{self.dir}\"\n\"LOG_DATAFILE\"=\"{self.dir}/data.dat\"\n"
                    f"\"LOGLOCKWAIT\"=dword:{lock_wait:08x}\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendrix\\VEZ\\audit]\n\"logmsg\"=dword:00000001\n")
        self.run(["aud", "-c"])
        self.run(["aud", "-n", "off", "-e", "1000000"])

    def run(self, args, **kw):
        return subprocess.run([os.path.join(BIN, args[0])] + args[1:], env=self.env,
                              check=True, capture_output=True, text=True, **kw)

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


def syscalls_per_record(shared=False):
    """System calls a record makes, by name: 201 records' strace counts less one record's."""
    if shutil.which("strace") is None:
        return None
    site = Site(shared=shared)
    counts = []
    for n in (1, 201):
        out = os.path.join(site.dir, f"strace-{n}")
        subprocess.run(["strace", "-f", "-c", "-o", out, os.path.join(BIN, "logmsg"), "-r",
                        str(n), "-x", "00" * 64, "error", "x"], env=site.env, check=True)
        calls = {}
        for m in re.finditer(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?(\w+)$",
                             open(out).read(), re.M):
            if m.group(2) != "total":
                calls[m.group(2)] = int(m.group(1))
        counts.append(calls)
    site.close()
    per = {name: (counts[1].get(name, 0) - counts[0].get(name, 0)) / 200
           for name in set(counts[0]) | set(counts[1])}
    return {name: n for name, n in sorted(per.items()) if n >= 0.05}


def calls_text(calls):
    total = sum(calls.values())
    return f"{total:g} (" + ", ".join(f"{name} {n:g}" for name, n in calls.items()) + ")"


def contention(writers, records, lock_wait):
    site = Site(lock_wait)
    start = time.monotonic()
    procs = [subprocess.Popen([os.path.join(BIN, "logmsg"), "-c", "-r", str(records), "-x",
                               "00" * 64, "error", "contended"], env=site.env,
                              stderr=subprocess.PIPE, text=True) for _ in range(writers)]
    dropped = 0
    for p in procs:
        err = p.communicate()[1]
        dropped += int(re.search(r"lock_held (\d+)", err).group(1))
    elapsed = time.monotonic() - start
    written = open(os.path.join(site.dir, "error"), "rb").read().count(b"Desc:contended")
    site.close()
    attempted = writers * records
    return written / elapsed, dropped / attempted, written + dropped == attempted


def contended(processes, what, ms=1000):
    """bench_log --contend: the records per second of processes writing at once."""
    out = subprocess.run([os.path.join(BIN, "bench_log"), "--contend", str(processes), what,
                          str(ms)], check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def bench_side_by_side(arg, name="BM_Peers_SideBySide"):
    """The repetitions of a side-by-side benchmark of one record shape."""
    out = subprocess.run([os.path.join(BIN, "bench_log"), "--benchmark_format=json",
                          f"--benchmark_filter=^{name}/{arg}/"],
                         check=True, capture_output=True, text=True).stdout
    return [b for b in json.loads(out)["benchmarks"] if b.get("run_type") != "aggregate"]


def start_against_registry(values):
    """A logging process's whole run (start, one error record, exit) with a process-index
    table of so many values: the fastest of five, in ms, and the registry file's size."""
    site = Site()
    with open(site.env["VEZ_REGISTRY"], "a") as f:
        f.write("".join(f'"process-{i:06d}"=dword:{i % 64:08x}\n' for i in range(values)))
#a file that has been still for a while is trusted to be unchanged between lookups
    old = time.time() - 60
    os.utime(site.env["VEZ_REGISTRY"], (old, old))
    size = os.path.getsize(site.env["VEZ_REGISTRY"])
    best = None
    for _ in range(5):
        t = time.monotonic()
        site.run(["logmsg", "error", "x"])
        t = time.monotonic() - t
        best = t if best is None else min(best, t)
    site.close()
    return best * 1e3, size


def timed_vezcat(site, args):
    """Seconds and peak memory (MB) of one vezcat run, its output thrown away. The memory is
    GNU time's reading of the program itself (a child's own rusage would count this Python
    process's pages, which it holds until its exec); None without /usr/bin/time."""
    timer = ["/usr/bin/time", "-f", "%M", "-o", os.path.join(site.dir, "peak")]
    has_timer = os.path.exists(timer[0])
    t = time.monotonic()
    # the host's own zone, as an operator's shell has it: TZ not set
    env = {k: v for k, v in site.env.items() if k != "TZ"}
    subprocess.run((timer if has_timer else []) + [os.path.join(BIN, "vezcat")] + args,
                   env=env, stdout=subprocess.DEVNULL, check=True)
    t = time.monotonic() - t
    peak = int(open(os.path.join(site.dir, "peak")).read().split()[-1]) / 1024 if has_timer else None
    return t, peak


def write_mixed(site, long_records, short_records):
    """Mixed records into the site's error log: ones with a two-line description and a dump,
    then short ones."""
    data = "41" * 40 + "00" * 100
    site.run(["logmsg", "-r", str(long_records), "-x", data, "error",
              "a record with a description long enough to take two lines of the log, so that the "
              "reader has lines to join back"])
    site.run(["logmsg", "-r", str(short_records), "error", "a short one"])


def vezcat_throughput():
    """MB/s of vezcat --json over a log of about 50 MB of mixed records, to /dev/null, and
    its peak memory."""
    site = Site()
    site.run(["aud", "-e", "1000000"])
    write_mixed(site, 40000, 40000)
    log = os.path.join(site.dir, "error")
    size = os.path.getsize(log)
    best, memory = None, None
    for _ in range(3):
        t, mb = timed_vezcat(site, ["--json", log])
        best = t if best is None else min(best, t)
        memory = None if mb is None else max(memory or 0, mb)
    site.close()
    return size / best / 1e6, size, memory


def vezcat_forms():
    """MB/s of every output form, of -g (a text and an expression), -r and -f's reading, on
    about 200 MB of small records and on 200 MB of mixed ones (a best of three each), beside
    grep -c on the same file: {(kind, what): MB/s}."""
    site = Site()
    site.run(["aud", "-e", "1000000"])
    small = os.path.join(site.dir, "small")
    site.run(["logmsg", "-r", "2000000", "error", "small record number with some words in it"])
    os.rename(os.path.join(site.dir, "error"), small)
    write_mixed(site, 180000, 600000)
    mixed = os.path.join(site.dir, "mixed")
    os.rename(os.path.join(site.dir, "error"), mixed)
    forms = ["short", "short-iso", "short-precise", "short-unix", "short-full", "cat", "raw",
             "json", "json-pretty", "json-seq", "verbose", "export"]
    runs = [("-o " + f, ["--no-pager", "-o", f]) for f in forms]
    runs += [("-g TEXT", ["--no-pager", "-g", "nomatch"]), ("-g REGEX", ["--no-pager", "-g", "no.atch"]),
             ("-r", ["--no-pager", "-r"])]
    figures = {}
    for kind, log in (("small", small), ("mixed", mixed)):
        size = os.path.getsize(log)
        for what, args in runs:
            best = min(timed_vezcat(site, args + [log])[0] for _ in range(3))
            figures[(kind, what)] = size / best / 1e6
        t = time.monotonic()
        subprocess.run(["grep", "-c", "nomatch", log], stdout=subprocess.DEVNULL)
        figures[(kind, "grep -c")] = size / (time.monotonic() - t) / 1e6
    site.close()
    return figures


def verify_throughput():
    """MB/s of vezcat --verify with the key over a sealed log and its old copy (about 50 MB
    in all), and the records it proved."""
    site = Site()
    key = site.run(["vezcat", "--setup-keys", "--interval=15min"]).stdout.splitlines()[-1]
    site.run(["aud", "-e", "50000"])  # 25 MB: a log and a full old copy
    data = "41" * 40 + "00" * 100
    for _ in range(2):
        site.run(["logmsg", "-r", "40000", "-x", data, "error", "a sealed record of the bench"])
    log = os.path.join(site.dir, "error")
    size = sum(os.path.getsize(f) for f in (log, log + ".old") if os.path.exists(f))
    best, proved = None, ""
    for _ in range(3):
        t = time.monotonic()
        out = site.run(["vezcat", "--verify", "--verify-key=" + key, log]).stdout
        t = time.monotonic() - t
        best = t if best is None else min(best, t)
        proved = next((l.strip() for l in out.splitlines() if "proved:" in l), "")
    site.close()
    return size / best / 1e6, size, proved


def vezcat_from_the_end():
    """vezcat -n 10 against a full read of a log of over 100 MB: seconds of each."""
    site = Site()
    site.run(["aud", "-e", "1000000"])
    site.run(["logmsg", "-r", "180000", "-x", "5a" * 120, "error", "a record of the big log"])
    log = os.path.join(site.dir, "error")
    size = os.path.getsize(log)
    full = min(timed_vezcat(site, [log])[0] for _ in range(3))
    last = min(timed_vezcat(site, ["-n", "10", log])[0] for _ in range(3))
    site.close()
    return size, full, last


def vezcat_long_record():
    """Seconds of vezcat over one record of 32, 64 and 128 MB (a full dump)."""
    site = Site()
    site.run(["aud", "-e", "1000000"])
    times = []
    for mb in (32, 64, 128):
        data = os.path.join(site.dir, "data.bin")
        with open(data, "wb") as f:
            f.write(b"\x5a" * (mb * 1000000 * 16 // 78))
        log = os.path.join(site.dir, "error")
        if os.path.exists(log):
            os.unlink(log)
        site.run(["logmsg", "-f", data, "error", "one long record"])
        times.append((mb, min(timed_vezcat(site, ["--json", log])[0] for _ in range(2))))
    site.close()
    return times


def follow_latency():
    """Seconds from a record's write (the writer's start) until vezcat --follow prints it."""
    site = Site()
    log = os.path.join(site.dir, "error")
    site.run(["logmsg", "error", "first"])
    follower = subprocess.Popen([os.path.join(BIN, "vezcat"), "--follow", "--json", log],
                                env=site.env, stdout=subprocess.PIPE, text=True)
    follower.stdout.readline()
    delays = []
    for i in range(10):
        t = time.monotonic()
        site.run(["logmsg", "error", f"followed {i}"])
        follower.stdout.readline()
        delays.append(time.monotonic() - t)
        time.sleep(0.05)
    follower.kill()
    follower.wait()
    site.close()
    return sorted(delays)[len(delays) // 2], max(delays)


def follow_latency_loaded(writers=4, rate=2000, seconds=3.0):
    """Seconds from a record's hand-over to a writer until vezcat --follow prints it, with
    writers each writing rate records a second: the median and the worst."""
    site = Site(lock_wait=1000)
    log = os.path.join(site.dir, "error")
    site.run(["logmsg", "error", "first"])
    follower = subprocess.Popen([os.path.join(BIN, "vezcat"), "--follow", "--json", log],
                                env=site.env, stdout=subprocess.PIPE)
    follower.stdout.readline()
    delays = []

    def read():
        for line in follower.stdout:
            m = re.search(rb'"description":"t(\d+)"', line)
            if m:
                delays.append(time.time() - int(m.group(1)) / 1e9)

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    procs = [subprocess.Popen([os.path.join(BIN, "logmsg"), "-"], env=site.env,
                              stdin=subprocess.PIPE) for _ in range(writers)]
    burst = max(1, rate // 200)  # a burst every 5 ms
    end = time.monotonic() + seconds
    tick = time.monotonic()
    while time.monotonic() < end:
        for p in procs:
            p.stdin.write(b"".join(b"error t%d\n" % time.time_ns() for _ in range(burst)))
            p.stdin.flush()
        tick += 0.005
        time.sleep(max(0.0, tick - time.monotonic()))
    for p in procs:
        p.stdin.close()
        p.wait()
    time.sleep(0.5)
    follower.kill()
    follower.wait()
    site.close()
    delays.sort()
    return (delays[len(delays) // 2], delays[-1], len(delays)) if delays else (None, None, 0)


def follow_rotating(writers, rate, size, every, seconds=4.0):
    """vezcat -f -n 0 -o json under writers of rate records a second each, records of about
    size bytes, the log rotated about every `every` records: records written, shown, announced
    lost by the follower's notices, lost unannounced (0 expected), latency median and p99."""
    site = Site(lock_wait=1000)
    log = os.path.join(site.dir, "error")
    units = max(1, round(size * every / 512))  # the limit is in units of 512 bytes
    site.run(["aud", "-e", str(units)])
    site.run(["logmsg", "error", "first"])
    follower = subprocess.Popen([os.path.join(BIN, "vezcat"), "-f", "-n", "0", "-o", "json", log],
                                env=site.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    time.sleep(0.3)
    shown, delays, announced = set(), [], [0]

    def read():
        for line in follower.stdout:
            m = re.search(rb'"description":"w(\d+)n(\d+)t(\d+)', line)
            if m:
                shown.add((int(m.group(1)), int(m.group(2))))
                delays.append(time.time() - int(m.group(3)) / 1e9)

    def notices():
        for line in follower.stderr:
            m = re.search(rb"(\d+) records? in \d+ generations? rotated away", line)
            if m:
                announced[0] += int(m.group(1))

    threads = [threading.Thread(target=read, daemon=True), threading.Thread(target=notices, daemon=True)]
    for t in threads:
        t.start()
    procs = [subprocess.Popen([os.path.join(BIN, "logmsg"), "-c", "-"], env=site.env,
                              stdin=subprocess.PIPE, stderr=subprocess.PIPE)
             for _ in range(writers)]
    burst = max(1, rate // 200)  # a burst every 5 ms
    pad = "p" * max(0, size - 90)
    seq = [0] * writers
    end = time.monotonic() + seconds
    tick = time.monotonic()
    while time.monotonic() < end:
        for w, p in enumerate(procs):
            lines = []
            for _ in range(burst):
                lines.append(f"error w{w}n{seq[w]}t{time.time_ns()}{pad}\n".encode())
                seq[w] += 1
            p.stdin.write(b"".join(lines))
            p.stdin.flush()
        tick += 0.005
        time.sleep(max(0.0, tick - time.monotonic()))
    dropped = 0
    for p in procs:
        p.stdin.close()
        # the writers' own drops are told in the log by loss records, not by the follower
        dropped += sum(int(n) for n in re.findall(rb"\w+ (\d+)", p.stderr.read()))
        p.wait()
    time.sleep(1.0)
    follower.kill()
    follower.wait()
    for t in threads:
        t.join(timeout=2)
    site.close()
    written = sum(seq) - dropped
    delays.sort()
    median = delays[len(delays) // 2] if delays else None
    p99 = delays[int(len(delays) * 0.99)] if delays else None
    return written, len(shown), announced[0], written - len(shown) - announced[0], median, p99


def vezreg_figures():
    """vezreg against large registry files: seconds of query and export of a key with 4,000
    subkeys, of an add to a file of 445,000 values (17.8 MB), and the parse rate (MB/s of a
    query of a missing key, which reads and parses the whole file)."""
    site = Site()
    reg = site.env["VEZ_REGISTRY"]
    lines = ["REGEDIT4", ""]
    for i in range(4000):
        lines += [f"[HKEY_LOCAL_MACHINE\\Software\\Quendrix\\VEZ\\k{i:05d}]", '"v"="x"']
    with open(reg, "w") as f:
        f.write("\r\n".join(lines) + "\r\n")
    def timed(args, runs=3):
        best = None
        for _ in range(runs):
            t = time.monotonic()
            subprocess.run([os.path.join(BIN, "vezreg")] + args, env=site.env, check=True,
                           stdout=subprocess.DEVNULL)
            t = time.monotonic() - t
            best = t if best is None else min(best, t)
        return best
    query = timed(["query", "HKLM\\Software\\Quendrix\\VEZ"])
    export = timed(["export", "HKLM\\Software\\Quendrix", os.path.join(site.dir, "out.reg"), "/y"])
    lines = ["REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendrix\\VEZ\\audit]"]
    lines += [f'"process-value-{i:07d}"=dword:{i % 64:08x}' for i in range(445000)]
    text = "\r\n".join(lines) + "\r\n"
    with open(reg, "w") as f:
        f.write(text)
    size = os.path.getsize(reg)
    best = None
    for _ in range(3):
        t = time.monotonic()
        subprocess.run([os.path.join(BIN, "vezreg"), "query", "HKLM\\Software\\Nothing"],
                       env=site.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        t = time.monotonic() - t
        best = t if best is None else min(best, t)
    parse = best
    add = None
    for n in range(3):
        with open(reg, "w") as f:
            f.write(text)
        t = time.monotonic()
        subprocess.run([os.path.join(BIN, "vezreg"), "add", "HKLM\\Software\\Quendrix\\VEZ",
                        "/v", f"added{n}", "/d", "x"], env=site.env, check=True)
        t = time.monotonic() - t
        add = t if add is None else min(add, t)
    site.close()
    return query, export, size, size / parse / 1e6, add


def main():
    static, shared = bench("bench_log"), bench("bench_log_shared")
    print("Filtered call (level above the threshold), library attached")
    floor = ns(static, "BM_Floor_EmptyCall")
    line("empty non-inlined call (floor)", floor, floor)
    line("log__log_audit, static library", ns(static, "BM_FilteredAudit"), floor)
    line("log__log_devmsg, static library", ns(static, "BM_FilteredDevmsg"), floor)
    sfloor = ns(shared, "BM_Floor_EmptyCall")
    line("empty call into a shared object (floor)", sfloor, sfloor)
    line("log__log_audit, shared library", ns(shared, "BM_FilteredAudit"), sfloor)
    line("log__log_devmsg, shared library", ns(shared, "BM_FilteredDevmsg"), sfloor)
    spd = ns(static, "BM_Spdlog_FilteredDebug")
    if spd:
        line("spdlog filtered debug()", spd, floor)
        print(f"  log__log_audit / spdlog debug(): {ns(static, 'BM_FilteredAudit') / spd:.2f}")
    print("\nWritten error record")
    for arg, what in (("0", "no data"), ("64", "64-byte full dump")):
        f = ns(static, f"BM_ErrorRecord/{arg}")
        allocs = static[f"BM_ErrorRecord/{arg}"].get("allocs_per_record")
        line(f"log__log_error ({what})", f, f, f"  heap allocations per record: {allocs:g}")
        line(f"spdlog file sink, flush per record ({what})",
             ns(static, f"BM_Spdlog_FileFlushEachRecord/{arg}"), f)
        line(f"log4cplus rolling file with lock file, flushed ({what})",
             ns(static, f"BM_Log4cplus_LockFileFlushEachRecord/{arg}"), f)
    if "BM_Log4cplus_LockFileFlushEachRecord/0" in static:
        print("\nSide by side with log4cplus's lock-file appender and the bare locked append "
              "(flock, one write of the same bytes, unlock), bursts of 200 records each, one "
              "process (the median of five runs)")
        for arg, what in (("0", "no data"), ("64", "64-byte full dump")):
            runs = sorted((b for b in bench_side_by_side(arg)), key=lambda b: b["ratio"])
            if runs:
                m = runs[len(runs) // 2]
                print(f"  {what:<18} ours {m['ours_ns']:6.0f} ns  log4cplus {m['log4cplus_ns']:6.0f} ns"
                      f"  bare {m['bare_ns']:6.0f} ns  ours / log4cplus {m['ratio']:.2f}"
                      f"  ours / bare {m['ratio_bare']:.2f}")
    print("\nProcesses writing flat out on one log for a second each, ours with a lock wait and "
          "no rotation beside the bare locked append (64-byte full dumps)")
    for n in (1, 2, 4):
        ours, bare = (contended(n, what) for what in ("ours", "bare"))
        print(f"  {n} process(es): ours {ours['records_per_second']:>9,.0f} records/s "
              f"(dropped {ours['dropped']}), bare {bare['records_per_second']:>9,.0f}: "
              f"ours / bare {ours['records_per_second'] / bare['records_per_second']:.2f}")
    print("\nSealed records beside unsealed ones, bursts of 200 records each, one process "
          "(the median of five runs)")
    for arg, what in (("0", "no data"), ("64", "64-byte full dump")):
        runs = sorted(bench_side_by_side(arg, "BM_Sealing_SideBySide"), key=lambda b: b["ratio"])
        if runs:
            m = runs[len(runs) // 2]
            print(f"  {what:<18} sealed {m['sealed_ns']:7.0f} ns  unsealed "
                  f"{m['unsealed_ns']:7.0f} ns  sealed / unsealed {m['ratio']:.2f}")
    print("\nThreads of one process writing records at once (64-byte full dumps)")
    for n in (1, 2, 4):
        b = static.get(f"BM_ErrorRecordThreads/real_time/threads:{n}")
        rate = b.get("items_per_second") if b else None
        print(f"  {n} thread(s): " + ("(not measured)" if rate is None else f"{rate:,.0f} records/s"))
    calls, shared_calls = syscalls_per_record(), syscalls_per_record(shared=True)
    print("\nSystem calls per record with a 64-byte full dump: "
          + ("strace not installed" if calls is None else
             f"{calls_text(calls)} in a directory only its user may write, "
             f"{calls_text(shared_calls)} in a group-writable one"))
    print("\nProcess start against the registry file's size (start, one error record, exit)")
    print(f"  {'values':>7} {'file':>9} {'ms':>8}")
    for values in (10, 1000, 10000, 50000):
        ms, size = start_against_registry(values)
        print(f"  {values:>7} {size / 1024:>7.0f} KB {ms:>8.1f}")
    rate, size, memory = vezcat_throughput()
    print(f"\nvezcat --json over a {size / 1e6:.0f} MB log (TZ not set), to /dev/null: {rate:.0f} MB/s, "
          + ("peak memory not measured (no /usr/bin/time)" if memory is None
             else f"peak memory {memory:.1f} MB"))
    figures = vezcat_forms()
    print("vezcat's forms, MB/s on 200 MB of small records / of mixed records (to /dev/null):")
    for what in sorted({w for _, w in figures}, key=lambda w: (w.startswith("grep"), w)):
        print(f"  {what:<18} {figures[('small', what)]:7.0f} {figures[('mixed', what)]:7.0f}")
    rate, size, proved = verify_throughput()
    print(f"vezcat --verify with the key over a sealed log and its old copy ({size / 1e6:.0f} MB): "
          f"{rate:.0f} MB/s ({proved})")
    size, full, last = vezcat_from_the_end()
    print(f"vezcat over a {size / 1e6:.0f} MB log: whole {full:.2f} s, -n 10 {last * 1e3:.1f} ms "
          f"({last / full:.1%} of the whole)")
    print("vezcat --json over one long record: " +
          ", ".join(f"{mb} MB {t:.2f} s" for mb, t in vezcat_long_record()))
    median, worst = follow_latency()
    print(f"vezcat --follow, a record's write to its printing: median {median * 1e3:.0f} ms, "
          f"worst {worst * 1e3:.0f} ms of 10")
    median, worst, n = follow_latency_loaded()
    if n:
        print(f"vezcat --follow with 4 writers at 2,000 records/s each: median "
              f"{median * 1e3:.1f} ms, worst {worst * 1e3:.0f} ms of {n:,} records")
    print("vezcat -f -n 0 -o json under rotation (writers x records/s, bytes, rotation every):")
    for writers, rate, size, every in ((4, 2000, 100, 13), (6, 5000, 50, 10), (3, 100, 65536, 1)):
        w, sh, an, un, med, p99 = follow_rotating(writers, rate, size, every)
        lat = "" if med is None else f", latency median {med * 1e3:.1f} ms, p99 {p99 * 1e3:.1f} ms"
        print(f"  {writers} x {rate}/s, {size} B, every {every}: {w:,} written, {sh:,} shown, "
              f"{an:,} announced lost, {un:,} lost unannounced{lat}")
    # last: its large files leave this process large, and a child's peak memory, as the
    # system counts it, starts from this process's when it is forked
    query, export, size, parse_rate, add = vezreg_figures()
    print(f"\nvezreg: query / export of a key with 4,000 subkeys {query * 1e3:.0f} / "
          f"{export * 1e3:.0f} ms; a {size / 1e6:.1f} MB file parsed at {parse_rate:.0f} MB/s; "
          f"add to it {add:.2f} s")
    print("\nContention: writers flat out on one error log (64-byte full dumps)")
    print(f"  {'writers':>7} {'lock wait':>9} {'records/s':>10} {'dropped':>8}  found+dropped=attempted")
    for wait in (0, 5, 20, 1000):
        for writers in (1, 2, 4):
            rate, share, exact = contention(writers, 3000, wait)
            print(f"  {writers:>7} {str(wait) + ' ms':>9} {rate:>10.0f} {share:>7.0%}  {exact}")
    print("\nStress (bench/stress.py, 20 s each):")
    sys.stdout.flush()
    subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "stress.py"), BIN,
                    "20"], check=False)


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[2] == "forms":
        for k, v in sorted(vezcat_forms().items()):
            print(k, f"{v:.0f}")
    elif len(sys.argv) > 2 and sys.argv[2] == "follow":
        for args in ((4, 2000, 100, 13), (6, 5000, 50, 10), (3, 100, 65536, 1)):
            print(args, follow_rotating(*args))
    else:
        main()
