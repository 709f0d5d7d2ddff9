#!/usr/bin/env python3
"""Stress programs for the write path: not timed tests, but counts that must come out 0.

    python3 bench/stress.py BIN_DIR [seconds]

Kill loop: writers of records from 100 bytes to 4 MB, a log rotated every few
records, a writer killed every 5 to 60 ms. After each kill one more record is
written (its writer mends what the killed one left), and every record in the
log and its old copy is read back: each must be whole, its data exactly what
its writer sent. Prints the torn records found (uncounted: 0 expected) and the
mends told in the logs.

Lock removal loop: 4 writers with a lock wait of 1 s on a log of 512 KiB
while the lock file is removed every 1 to 3 ms; every old copy the
rotations make is caught (a hard link taken when inotify tells of it),
measured and its records counted; sealing is on, and the log is proved
after each batch of writers. Prints the old copies shorter than the limit
(a generation destroyed: 0 expected), the "rename failed" records, the
batches that did not pass (0 expected), the records written, found and
dropped (0 dropped expected: each waits at most the lock wait) and the
mends (0 expected: nobody dies, so any mend is a false one).

Sealed kill loop: sealing set up, 4 writers of records from 100 bytes to
4 MB on a log rotated every few records, a writer killed every 5 to 60 ms,
the lock file removed now and then; every half second all are killed and
the log and its old copy proved with the key (a pass expected: crashes are
damage, not tampering), then the log tampered with (a byte changed, a record
removed, two records swapped) and proved again (a fail expected each time),
and put back. Prints the rounds that did not pass and the tampered copies
that did.

Where sealing is on, a timer closes its intervals as the package's does
(vezcat --seal, here twice an interval).
"""
import ctypes
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time

BIN = sys.argv[1] if len(sys.argv) > 1 else "build/bench/bin"
SECONDS = float(sys.argv[2]) if len(sys.argv) > 2 else 30.0
HEADER = re.compile(rb"^------\d\d/\d\d \d\d:\d\d:\d\d +-?\d+/-?\d+ +err:-?\d+ +(.*)\((.*)\)$")


class Site:
    """A registry file, a data file and a log directory of their own."""

    def __init__(self, size_units):
        self.dir = tempfile.mkdtemp(prefix="vezstress-", dir=os.environ.get("VEZ_BENCH_DIR", "."))
        self.dir = os.path.realpath(self.dir)
        reg = os.path.join(self.dir, "registry.reg")
        with open(reg, "w") as f:
            f.write("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Quendrix\\VEZ]\n"
                    f"\"LOGPATH\"=\"{self.dir}\"\n\"LOG_DATAFILE\"=\"{self.dir}/data.dat\"\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendrix\\VEZ\\audit]\n"
                    "\"logmsg\"=dword:00000001\n")
        self.env = dict(os.environ, VEZ_REGISTRY=reg, TZ=os.environ.get("TZ", ":/etc/localtime"))
        self.run(["aud", "-c"])
        self.run(["aud", "-n", "off", "-y", "on", "-e", str(size_units)])
        self.log = os.path.join(self.dir, "error")

    def run(self, args):
        return subprocess.run([os.path.join(BIN, args[0])] + args[1:], env=self.env, check=True,
                              capture_output=True)

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


def records(path):
    """(description, data bytes or None when its dump is not whole) of every record."""
    try:
        text = open(path, "rb").read()
    except FileNotFoundError:
        return []
    out = []
    desc, dump, whole = None, [], True
    def flush():
        if desc is not None:
            out.append((desc, decode(dump) if whole else None))
    for line in text.split(b"\r\n")[:-1] if text.endswith(b"\r\n") else text.split(b"\r\n"):
        if HEADER.match(line):
            flush()
            desc, dump, whole = b"", [], True
        elif desc is None:
            continue
        elif line.startswith(b"Desc:"):
            desc = line[5:]
        elif line.startswith(b"     "):
            desc += line[5:]
        else:
            dump.append(line)
    if not text.endswith(b"\r\n"):
        whole = False
    flush()
    return out


def decode(lines):
    data = bytearray()
    for n, line in enumerate(lines):
        m = re.match(rb"^([0-9a-f]{3,}) +((?:[0-9a-f]{2} +)+)", line)
        if m is None or int(m.group(1), 16) != n * 16:
            return None
        data += bytes.fromhex(m.group(2).decode())
    return bytes(data)


def content(size):
    return bytes((i * 31 + size) & 0xff for i in range(256)) * (size // 256) + \
        bytes((i * 31 + size) & 0xff for i in range(size % 256))


class Generations:
    """Every old copy a rotation makes, caught as it is made (a hard link taken when inotify
    tells of it), handed to check() and removed."""

    def __init__(self, site, check):
        self.site, self.check = site, check
        self.libc = ctypes.CDLL("libc.so.6", use_errno=True)
        self.ino = self.libc.inotify_init1(os.O_NONBLOCK)
        self.libc.inotify_add_watch(self.ino, site.dir.encode(), 0x80)  # IN_MOVED_TO
        self.stop = threading.Event()
        self.caught = 0
        self.kept = []
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def run(self):
        while not self.stop.is_set():
            try:
                buf = os.read(self.ino, 65536)
            except BlockingIOError:
                time.sleep(0.0002)
                continue
            at, moves = 0, 0
            while at + 16 <= len(buf):
                length = struct.unpack_from("iIII", buf, at)[3]
                name = buf[at + 16:at + 16 + length].rstrip(b"\0")
                at += 16 + length
                moves += name == b"error.old"
            # two moves told at once: the first one's copy is gone already, the last is there
            if moves == 0:
                continue
            snap = os.path.join(self.site.dir, f"gen-{self.caught}")
            try:
                os.link(self.site.log + ".old", snap)
            except OSError:
                continue
            self.caught += 1
            self.kept.append(snap)  # looked at once the writers are done: catching is first

    def check_kept(self):
        for snap in self.kept:
            self.check(snap)
            os.unlink(snap)
        self.kept = []

    def close(self):
        self.stop.set()
        self.thread.join()
        os.close(self.ino)
        self.check_kept()


def kill_loop(seconds):
    site = Site(64)  # 32 KiB: a few records a generation
    # mostly small records, now and then a large one: 100 bytes to 4 MB
    sizes = [100] * 8 + [400] * 6 + [3000] * 4 + [20000] * 2 + [200000, 1000000, 4000000]
    files = {}
    for size in set(sizes):
        files[size] = os.path.join(site.dir, f"data-{size}")
        with open(files[size], "wb") as f:
            f.write(content(size))
    counts = {"checked": 0, "torn": 0, "mends": 0}
    lock = threading.Lock()

    def check(path):
        for desc, data in records(path):
            m = re.match(rb"w\d+ s\d+ n(\d+)$", desc)
            with lock:
                if m:
                    counts["checked"] += 1
                    if data != content(int(m.group(1))):
                        counts["torn"] += 1
                t = re.search(rb"mended (\d+)", desc)
                if t:
                    counts["mends"] += int(t.group(1))

    generations = Generations(site, check)
    writers, kills, w = [], 0, 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        writers = [p for p in writers if p.poll() is None]
        while len(writers) < 6:
            w += 1
            cmds = "".join(f"-f {files[size]} error w{w} s{s} n{size}\n"
                           for s, size in enumerate(random.choice(sizes) for _ in range(200)))
            p = subprocess.Popen([os.path.join(BIN, "logmsg"), "-"], env=site.env,
                                 stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
            p.stdin.write(cmds.encode())
            p.stdin.close()
            p.started = time.monotonic()
            writers.append(p)
        time.sleep(random.uniform(0.005, 0.060))
        # writers killed among their records, not while they start
        ripe = [p for p in writers if time.monotonic() - p.started > 0.05]
        victim = random.choice(ripe) if ripe else None
        if victim is not None and victim.poll() is None:
            victim.kill()
            kills += 1
    for p in writers:
        p.kill()
        p.wait()
    site.run(["logmsg", "error", "sentinel"])  # mends what the last kill left
    time.sleep(0.2)
    generations.close()
    for f in (site.log + ".old", site.log):
        check(f)
    site.close()
    return counts["torn"], counts["checked"], kills, counts["mends"], generations.caught


def verify(site, key, log, tampered=False):
    """vezcat --verify of one log and its seals with the key"""
    r = subprocess.run([os.path.join(BIN, "vezcat"), "--verify", "--verify-key=" + key, log],
                       env=site.env, capture_output=True)
    keep = os.environ.get("VEZ_STRESS_KEEP")  # where a failing site is copied, to look at
    if r.returncode != 0 and keep and not tampered:
        shutil.copytree(site.dir, os.path.join(keep, os.path.basename(site.dir) +
                                               f"-{time.monotonic_ns()}"), dirs_exist_ok=True)
        with open(os.path.join(keep, "key"), "w") as f:
            f.write(key)
    return r


class Timer:
    """The sealing timer: vezcat --seal twice an interval (of 1 s), as the package's runs it
    once an interval of 15 minutes."""

    def __init__(self, site):
        self.site, self.stop = site, threading.Event()
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def run(self):
        while not self.stop.wait(0.5):
            subprocess.run([os.path.join(BIN, "vezcat"), "--seal"], env=self.site.env,
                           capture_output=True)

    def close(self):
        self.stop.set()
        self.thread.join()


def lock_removal_loop(seconds):
    limit = 1024  # 512 KiB: a rotation every second or so a writer, each old copy caught
    site = Site(limit)
    with open(site.env["VEZ_REGISTRY"], "a") as f:
        f.write("[HKEY_LOCAL_MACHINE\\Software\\Quendrix\\VEZ]\n\"LOGLOCKWAIT\"=dword:000003e8\n")
    key = site.run(["vezcat", "--setup-keys", "--interval=1s"]).stdout.decode().splitlines()[-1]
    timer = Timer(site)
    not_passed = 0
    sizes = []
    found = [0]

    def count(path):
        return sum(1 for d, data in records(path) if d == b"removal loop" and data == b"\x5a" * 64)

    def caught(path):
        found[0] += count(path)
        sizes.append((os.path.getsize(path),
                      sum(1 for d, _ in records(path) if d == b"rename failed on file")))

    generations = Generations(site, caught)
    stop = threading.Event()

    def clean():
        lok = site.log + ".lok"
        while not stop.is_set():
            try:
                os.unlink(lok)
            except FileNotFoundError:
                pass
            time.sleep(random.uniform(0.001, 0.003))

    cleaner = threading.Thread(target=clean)
    cleaner.start()
    end = time.monotonic() + seconds
    attempted, dropped, mended = 0, 0, 0
    while time.monotonic() < end:
        procs = [subprocess.Popen([os.path.join(BIN, "logmsg"), "-c", "-r", "4000", "-x",
                                   "5a" * 64, "error", "removal loop"], env=site.env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
                 for _ in range(4)]
        for p in procs:
            err = p.communicate()[1]
            m = re.search(r"lock_held (\d+) open_failed (\d+) nested (\d+) write_failed (\d+)"
                          r" rotation_failed \d+ mended (\d+)", err)
            dropped += sum(int(m.group(i)) for i in range(1, 5))
            mended += int(m.group(5))
            attempted += 4000
        # two writers at once are damage, never tampering
        r = verify(site, key, site.log)
        if r.returncode != 0:
            not_passed += 1
            print(r.stdout.decode(), r.stderr.decode(), file=sys.stderr)
    stop.set()
    cleaner.join()
    timer.close()
    time.sleep(0.2)
    generations.close()
    found[0] += count(site.log)
    short = sum(1 for size, _ in sizes if size <= limit * 512)
    rename_failed = sum(r for _, r in sizes)
    site.close()
    return {"short": short, "caught": len(sizes), "rename_failed": rename_failed,
            "not_passed": not_passed, "attempted": attempted, "found": found[0],
            "dropped": dropped, "mended": mended}


def record_spans(text):
    """(start, end) of each record of a log's bytes."""
    starts = [m.start() for m in re.finditer(rb"(?m)^------\d\d/\d\d ", text)]
    return list(zip(starts, starts[1:] + [len(text)]))


def sealed_kill_loop(seconds):
    site = Site(32)  # 16 KiB: a few records a generation
    key = site.run(["vezcat", "--setup-keys", "--interval=1s"]).stdout.decode().strip()
    key = key.splitlines()[-1]
    timer = Timer(site)
    # mostly small records, now and then a large one: 100 bytes to 4 MB
    sizes = [100] * 8 + [1500] * 6 + [20000] * 2 + [1000000, 4000000]
    files = {}
    for size in set(sizes):
        files[size] = os.path.join(site.dir, f"data-{size}")
        with open(files[size], "wb") as f:
            f.write(content(size))
    rounds = not_passed = tampered = tamper_passed = kills = 0
    notes = set()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        rounds += 1
        writers = []
        round_end = time.monotonic() + 0.5
        while time.monotonic() < round_end:
            writers = [p for p in writers if p.poll() is None]
            while len(writers) < 4:
                cmds = "".join(f"-f {files[random.choice(sizes)]} error sealed loop\n"
                               for _ in range(100))
                p = subprocess.Popen([os.path.join(BIN, "logmsg"), "-"], env=site.env,
                                     stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
                p.stdin.write(cmds.encode())
                p.stdin.close()
                p.started = time.monotonic()
                writers.append(p)
            time.sleep(random.uniform(0.005, 0.060))
            if random.random() < 0.1:
                try:
                    os.unlink(site.log + ".lok")  # a cleaner takes the lock file away
                except FileNotFoundError:
                    pass
            ripe = [p for p in writers if time.monotonic() - p.started > 0.02]
            if ripe:
                random.choice(ripe).kill()
                kills += 1
        for p in writers:
            p.kill()
            p.wait()
        r = verify(site, key, site.log)
        if r.returncode != 0:
            not_passed += 1
            print(r.stdout.decode(), r.stderr.decode(), file=sys.stderr)
        for line in r.stdout.decode().splitlines():
            if line.strip().startswith(("damage:", "loss told:")):
                notes.add(line.strip().split(":")[0])
        # the log tampered with, and put back: proved in place, where its closes name it
        try:
            text = open(site.log, "rb").read()
        except FileNotFoundError:  # killed just after a rotation
            continue
        # only what was proved is tampered with: bytes listed as damage are not proved
        damaged = [int(m.group(1)) for m in
                   re.finditer(r"damage: [^,]*error, offset (\d+):", r.stdout.decode())]
        spans = [sp for sp in record_spans(text) if sp[1] <= min(damaged, default=len(text))]
        if len(spans) < 3:
            continue
        # two neighbours that differ (swapping equal ones changes nothing)
        pairs = [i for i in range(len(spans) - 1)
                 if text[slice(*spans[i])] != text[slice(*spans[i + 1])]]
        if not pairs:
            continue
        a, b = random.choice(pairs), random.randrange(len(spans))
        (s0, e0), (s1, e1) = spans[a], spans[a + 1]
        flip = random.randrange(*spans[b])
        edits = {
            "changed": text[:flip] + bytes([text[flip] ^ 0x01]) + text[flip + 1:],
            "removed": text[:s0] + text[e0:],
            "swapped": text[:s0] + text[s1:e1] + text[s0:e0] + text[e1:],
        }
        timer.close()  # no writer and no close meanwhile
        for name, edited in edits.items():
            with open(site.log, "r+b") as f:
                f.write(edited)
                f.truncate()
            t = verify(site, key, site.log, tampered=True)
            tampered += 1
            if t.returncode == 0:
                tamper_passed += 1
                print(f"{name}: passed\n" + t.stdout.decode(), file=sys.stderr)
        with open(site.log, "r+b") as f:
            f.write(text)
            f.truncate()
        timer = Timer(site)
    timer.close()
    site.close()
    return rounds, kills, not_passed, tampered, tamper_passed, sorted(notes)


def main():
    torn, checked, kills, mends, generations = kill_loop(SECONDS)
    print(f"kill loop: {kills} writers killed, {generations} generations and {checked} records "
          f"read back, {mends} mends told, {torn} torn records left uncounted")
    lr = lock_removal_loop(SECONDS)
    missing = lr["attempted"] - lr["found"] - lr["dropped"]
    print(f"lock removal loop (sealed, a 1 s lock wait): {lr['caught']} old copies caught, "
          f"{lr['short']} of them short, {lr['rename_failed']} \"rename failed\" records, "
          f"{lr['not_passed']} batches not passing --verify; {lr['attempted']} records written, "
          f"{lr['found']} found, {lr['dropped']} dropped, {missing} neither (an old copy "
          f"replaced before it was caught), {lr['mended']} mends (none is true: no writer dies)")
    removal_not_passed = lr["not_passed"]
    short = lr["short"]
    rounds, kills, not_passed, tampered, tamper_passed, notes = sealed_kill_loop(SECONDS)
    print(f"sealed kill loop: {rounds} rounds, {kills} writers killed, {not_passed} rounds not "
          f"passed (crashes called tampering); {tampered} tampered copies, {tamper_passed} of them "
          f"passed; listed: {', '.join(notes) or 'nothing'}")
    fine = torn == 0 and short == 0 and removal_not_passed == 0 and lr["mended"] == 0 and \
        lr["dropped"] == 0
    return 0 if fine and not_passed == 0 and tamper_passed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
