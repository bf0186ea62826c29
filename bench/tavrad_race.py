#!/usr/bin/env python3
"""Races the tavrad daemon for one managed file: a racing process replaces the file (by rename,
as a user who can write its folder would) each time the daemon's atomic write puts it in place,
so that its file lands while the daemon's run is still going. Reports how often the file held
the policy's bytes (sampled every millisecond) during the race and after it, and the runs the
race caused.

Run as root:  bench/tavrad_race.py [path/to/tavrad] [race seconds] [seconds after]
              (defaults: build/release/bin/tavrad, 30, 15)

The daemon runs with its production paths in a private mount and network namespace, as in
bench/tavrad_idle.py, whose helpers this script uses. Its ReapplyInterval is 60 s.
"""

import ctypes
import select
import os
import plistlib
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tavrad_idle as idle  # noqa: E402

INSIDE = "--inside-private-root"
TARGET = "/Library/Application Support/ClaudeCode/managed-settings.json"
POLICY = {"model": "opus"}
RACER_BYTES = b'{"model":"racer"}'

IN_MOVED_FROM = 0x40
IN_MOVED_TO = 0x80
IN_CLOEXEC = 0o2000000
EVENT = struct.Struct("iIII")


def race(path, until):
    """In the racing process: replace `path` after every rename onto it from a ".tavra-" file."""
    libc = ctypes.CDLL(None, use_errno=True)
    folder, name = os.path.split(path)
    fd = libc.inotify_init1(IN_CLOEXEC)
    if fd < 0 or libc.inotify_add_watch(fd, folder.encode(), IN_MOVED_FROM | IN_MOVED_TO) < 0:
        os._exit(2)
    spare = os.path.join(folder, ".racer")
    daemons = {}
    replaced = 0

    def replace():
        nonlocal replaced
        with open(spare, "wb") as out:
            out.write(RACER_BYTES)
        os.rename(spare, path)
        replaced += 1

    replace()  # the race starts with an edit
    while time.monotonic() < until:
        if not select.select([fd], [], [], 0.02)[0]:
            continue
        data = os.read(fd, 65536)
        at = 0
        while at < len(data):
            _, mask, cookie, length = EVENT.unpack_from(data, at)
            entry = data[at + EVENT.size:at + EVENT.size + length].rstrip(b"\0").decode()
            at += EVENT.size + length
            if mask & IN_MOVED_FROM:
                daemons[cookie] = entry.startswith(".tavra-")
            if mask & IN_MOVED_TO and entry == name and daemons.pop(cookie, False):
                replace()
    os.write(1, f"{replaced}\n".encode())
    os._exit(0)


def measure(binary, race_seconds, after_seconds):
    workdir = tempfile.mkdtemp(prefix="tavra-bench.", dir=os.getcwd())
    root = os.path.join(workdir, "root")
    os.mkdir(root)
    idle.mount_private_root(root, binary)
    catalog, signature, public_key = idle.signed_catalog(workdir)
    idle.write(root, "/Library/Vendor/catalog.json", catalog)
    idle.write(root, "/Library/Vendor/catalog.json.sig", signature)
    idle.write(root, idle.PREFS + "/com.zelkorandin.tavra.plist", plistlib.dumps({
        "CatalogURL": "file:///Library/Vendor/catalog.json",
        "CatalogTrustedKeys": [public_key],
        "AdditionalAllowedPaths": [idle.CODEX_DIR],
        "ReapplyInterval": 60,
    }))
    idle.write(root, idle.PREFS + "/com.zelkorandin.tavra.policy.claude.plist", plistlib.dumps({
        "PolicyID": "claude", "Priority": 10, "Harnesses": {"claude": {"settings": POLICY}}}))
    log = idle.Log(root + "/dev/log")
    daemon = subprocess.Popen([idle.INSIDE_BINARY],
                              preexec_fn=lambda: (os.chroot(root), os.chdir("/")))
    target = root + TARGET
    try:
        log.wait(lambda t: t == "[daemon] catalog updated to 1.0", 0)
        log.wait(lambda t: idle.is_summary(t) and t.endswith("managed: claude"), 0)
        idle.wait_idle(daemon.pid)
        policy = open(target, "rb").read()

        mark = log.mark()
        start = time.monotonic()
        race_end = start + race_seconds
        read_end, write_end = os.pipe()
        racer = os.fork()
        if racer == 0:
            os.close(read_end)
            os.dup2(write_end, 1)
            race(target, race_end)
        os.close(write_end)

        samples = {"race": [0, 0], "after": [0, 0]}
        back_at = None
        end = race_end + after_seconds
        while (now := time.monotonic()) < end:
            try:
                right = open(target, "rb").read() == policy
            except OSError:
                right = False
            phase = "race" if now < race_end else "after"
            samples[phase][0] += 1
            samples[phase][1] += right
            if phase == "after" and right and back_at is None:
                back_at = now
            elif phase == "after" and not right:
                back_at = None
            time.sleep(0.001)
        _, status = os.waitpid(racer, 0)
        replaced = int(os.read(read_end, 64) or b"0")
        os.close(read_end)

        runs = [(at, text) for at, text in log.lines[mark:] if idle.is_summary(text)]
        in_race = sum(1 for at, _ in runs if at < race_end)
        after = len(runs) - in_race
        changes = sum(1 for _, text in log.lines[mark:] if text.startswith(
            "[daemon] change detected at "))
        print(f"race of {race_seconds} s: the racer replaced the file {replaced} times; "
              f"{in_race} runs; {changes} change lines")
        for phase in ("race", "after"):
            total, right = samples[phase]
            share = 100.0 * right / total if total else 0.0
            print(f"  {phase:5}: {share:6.2f} % of {total} samples hold the policy's bytes")
        if back_at is None:
            print(f"  after the race: the file never came back in {after_seconds} s; {after} runs")
        else:
            print(f"  after the race: the policy's bytes back {back_at - race_end:.3f} s after "
                  f"it ended, for good; {after} runs in the {after_seconds} s after")
    finally:
        daemon.terminate()
        print(f"tavrad ended with status {daemon.wait(30)}")
        subprocess.run(["umount", "--recursive", "--lazy", root], check=False)
        os.rmdir(root)
        for name in ("catalog.key", "catalog.json"):
            os.remove(os.path.join(workdir, name))
        os.rmdir(workdir)


def main():
    if os.geteuid() != 0:
        sys.exit("run as root")
    if INSIDE in sys.argv:
        at = sys.argv.index(INSIDE)
        binary, race_seconds, after_seconds = sys.argv[at + 1:at + 4]
        measure(binary, float(race_seconds), float(after_seconds))
        return
    args = sys.argv[1:]
    binary = os.path.abspath(args[0] if args else "build/release/bin/tavrad")
    race_seconds = args[1] if len(args) > 1 else "30"
    after_seconds = args[2] if len(args) > 2 else "15"
    if not os.access(binary, os.X_OK):
        sys.exit(f"no tavrad at {binary}: build it with scripts/build")
    os.execvp("unshare", ["unshare", "--mount", "--net", "--propagation", "private",
                          sys.executable, os.path.abspath(__file__), INSIDE, binary,
                          race_seconds, after_seconds])


if __name__ == "__main__":
    main()
