#!/usr/bin/env python3
"""make test-system: the Debian package as users run it. Boots Debian 12
with systemd under QEMU (tools/system/machine.py), installs the package
with apt-get by the README's service section, and checks against the
running system: the wall on the screen, every velmorctl answer and exit
status, reload, the watchdog, journal priorities, bad and unreadable
wall.conf, the unit's hardening, restart, stop and purge.

    run.py DEB_DIR CACHE_DIR    (make test-system: build-deb build/system-test)
"""
import glob
import os
import re
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "system"))
from machine import System, log, until, windows_wrong  # noqa: E402

COLOURS = {"red": (255, 0, 0), "lime": (0, 255, 0), "blue": (0, 0, 255), "white": (255, 255, 255),
           "yellow": (255, 255, 0)}
PORT = {name: 9001 + i for i, name in enumerate(COLOURS)}
SIZE = (240, 180)
FIRST = {"red": (0, 0), "lime": (240, 0), "blue": (0, 180), "white": (240, 180)}
# Reload: white removed, blue moved, yellow added; red and lime unchanged.
SECOND = {"red": (0, 0), "lime": (240, 0), "blue": (480, 180), "yellow": (480, 0)}
COMMANDS = [  # velmorctl's line, exit status, the whole answer
    ("ping x", 0, r"pong\(x\)\n"),
    ("stats", 0, r"(name=\w+ state=CONNECTED codec=mjpeg size=160x120 .*\n){4}render busy=\S+ pictures=\d+ output=drm \d+x\d+@\d+ flips=\d+\n"),
    ("stats red", 0, r"name=red state=CONNECTED .*\nrender busy=.*\n"),
    ("snapshot /run/velmor/x.png", 0, r""),
    ("snapshot /no/dir/x.png", 1, r"Error: cannot write '/no/dir/x.png': No such file or directory\n"),
    ("list", 0, r"( +\w+ +CONNECTED tcp://127\.0\.0\.1:\d+ page=1 label=\"\"\n){4}"),
    ("play -n extra -s 80 60 -f mjpeg tcp://127.0.0.1:9", 0, r"(cmd_play: .*\n){6}"),
    ("play -n extra tcp://127.0.0.1:9", 1, r"Error: duplicate stream name 'extra'!\n"),
    ("stop extra", 0, r""),
    ("stop extra", 1, r"Error: unable to find stream 'extra'\.\n"),
    ("help", 0, r"commands are:\n(.*\n)+Type 'help <command>' for more details\.\n")]
results = []


def check(name, ok, detail=""):
    results.append(bool(ok))
    log("%s %s%s" % ("PASS" if ok else "FAIL", name, ": " + detail if detail else ""))


def wall(layout, bad=None):
    lines = ["play -n %s -p %d %d -s %d %d -f mjpeg tcp://127.0.0.1:%d" % (n, x, y, *SIZE, PORT[n])
             for n, (x, y) in layout.items()]
    return "\n".join(lines[:1] + ([bad] if bad else []) + lines[1:]) + "\n"


def main():
    deb = glob.glob(os.path.join(sys.argv[1], "velmor_*.deb"))[0]
    t0 = time.monotonic()
    s = System(os.path.abspath(sys.argv[2]), deb)
    sh, show = s.sh, s.show
    booted = time.monotonic() - t0

    def screen(name, layout, black=True):
        shot, wrong = s.screen(name, lambda shot: windows_wrong(shot, layout, COLOURS, SIZE, black))
        check("screen " + name, not wrong, "; ".join(wrong) or "%dx%d, every window its colour" % shot[:2])
    try:
        check("media sources listen", s.serve(COLOURS, PORT))
        # The README's service section as written; "editor" writes the test's wall.
        readme = open(os.path.join(HERE, "..", "..", "README.md")).read()
        sh("mkdir -p /root/build-deb && cat > /root/build-deb/" + os.path.basename(deb), open(deb, "rb").read())
        for line in readme.split("## Run it as a service")[1].split("\n\n")[1].splitlines():
            cmd, start = line.split("#")[0].strip(), time.monotonic()
            if cmd.startswith("make "):
                continue
            st, out, err = sh("cat > " + cmd.split()[1], wall(FIRST)) if cmd.startswith("editor ") else \
                sh("cd /root && " + cmd)
            check("README: " + cmd, st == 0, "" if st == 0 else "status %d: %s%s" % (st, out, err))
            if "enable --now" in cmd:  # enabling reloads systemd: seconds under emulation, not the start's
                t = show("InactiveExitTimestampMonotonic", "ActiveEnterTimestampMonotonic", "ActiveState")
                took = (int(t["ActiveEnterTimestampMonotonic"]) - int(t["InactiveExitTimestampMonotonic"])) / 1e6
                check("enable --now: active within 10 s", t["ActiveState"] == "active" and took <= 10,
                      "started in %.1f s, enable --now returned after %.1f s" % (took, time.monotonic() - start))
            if cmd.startswith("velmorctl play"):
                sh("velmorctl stop " + cmd.split("-n ")[1].split()[0])

        # The screen is the player's: console text and kernel messages meanwhile.
        sh("for i in 1 2 3 4 5; do echo console text $i > /dev/tty1; echo '<2>kernel message' > /dev/kmsg; done")
        screen("wall", FIRST)
        for cmd, want, pattern in COMMANDS:
            st, out, err = sh("velmorctl " + cmd)
            check("velmorctl " + cmd, st == want and re.fullmatch(pattern, out), "status %d: %r" % (st, out))
        check("snapshot is a PNG", sh("od -An -tx1 -N8 /run/velmor/x.png")[1].split() == "89 50 4e 47 0d 0a 1a 0a".split())
        check("no player: status 2", sh("velmorctl --control /run/none ping")[0] == 2)
        check("a member of the group velmor", sh("adduser -q --system alice && adduser -q alice velmor && "
                                                 "su -s /bin/sh -c 'velmorctl ping' alice")[1] == "pong()\n")
        st, out, err = sh("su -s /bin/sh -c 'velmor --version; velmor </dev/null >/dev/null' alice")
        check("a framebuffer it may not open: why", err.startswith("Error opening /dev/fb0: Permission denied; the "
                                                                  "group 'video' may open it.\n"), err)

        # Reload: unchanged streams play on without a reconnect.
        before = s.stats()
        time.sleep(2)
        sh("cat > /etc/velmor/wall.conf", wall(SECOND))
        check("systemctl reload", sh("systemctl reload velmor")[0] == 0)
        check("reload: added, removed, moved", until(lambda: set(s.stats()) == set(SECOND) and all(
            v["state"] == "CONNECTED" for v in s.stats().values())), str(s.stats()))
        after = s.stats()
        for n in ("red", "lime"):
            b, a = before[n], after[n]
            check("reload: %s carries on" % n, a["reconnects"] == b["reconnects"] and
                  int(a["connected_s"]) >= int(b["connected_s"]) + 2, "reconnects %s -> %s, connected_s %s -> %s"
                  % (b["reconnects"], a["reconnects"], b["connected_s"], a["connected_s"]))
        screen("reloaded", SECOND, black=False)

        # A bad line is reported with its place, the rest runs; restart ends
        # the old process with status 0.
        seen = len(s.journal())
        sh("cat > /etc/velmor/wall.conf", wall(SECOND, bad="plya -n oops"))
        check("restart", sh("systemctl restart velmor")[0] == 0)
        check("bad line: the rest runs", until(lambda: set(s.stats()) == set(SECOND)))
        check("bad line reported", (3, "/etc/velmor/wall.conf:2: No such command.") in s.journal()[seen:])
        system_says = sh("journalctl -u velmor _PID=1 -o cat")[1]
        check("restart: status 0", "Failed with result" not in system_says and "Deactivated successfully" in system_says)

        # Watchdog: a stopped player is aborted and started again.
        pid = show("MainPID")["MainPID"]
        check("watchdog set", show("WatchdogUSec")["WatchdogUSec"] == "10s")
        stopped_at = float(sh("cat /proc/uptime; kill -STOP " + pid)[1].split()[0])
        back = until(lambda: show("ActiveState")["ActiveState"] == "active" and
                     show("MainPID")["MainPID"] not in (pid, "0"), 40)
        t = {k: int(v) / 1e6 - stopped_at for k, v in show("ExecMainStartTimestampMonotonic",
                                                           "ActiveEnterTimestampMonotonic").items()}
        check("watchdog: restarted within WatchdogSec + 5 s", back and t["ExecMainStartTimestampMonotonic"] <= 15,
              "started again %.1f s after SIGSTOP, ready after %.1f s" % tuple(t[k] for k in sorted(t, reverse=True)))
        screen("after the watchdog", SECOND)

        # Unreadable wall.conf: status 2, no restart loop.
        sh("chmod 000 /etc/velmor/wall.conf; systemctl restart velmor")
        time.sleep(4)
        st = show("ActiveState", "ExecMainStatus", "NRestarts")
        check("unreadable wall.conf: status 2, no restart",
              st == {"ActiveState": "failed", "ExecMainStatus": "2", "NRestarts": "0"}, str(st))
        sh("chmod 644 /etc/velmor/wall.conf && systemctl reset-failed velmor && systemctl start velmor")

        # Hardening, and the screen's owner.
        score = re.search(r"exposure level for velmor.service: ([\d.]+)", sh("systemd-analyze security velmor")[1])
        check("systemd-analyze security <= 4.0", score and float(score.group(1)) <= 4.0, score and score.group(0))
        status = sh("cat /proc/%s/status" % show("MainPID")["MainPID"])[1]
        check("unprivileged, one capability", "Uid:\t0" not in status and "CapEff:\t0000000004000000" in status,
              " ".join(l for l in status.splitlines() if l.startswith(("Uid", "Groups", "CapEff"))))
        screen("before stop", SECOND)
        check("stop: status 0", sh("systemctl stop velmor")[0] == 0 and show("ExecMainStatus")["ExecMainStatus"] == "0")
        sh("echo console text again > /dev/tty1")
        shot, black = s.screen("stopped", lambda shot: not windows_wrong(shot, {}, COLOURS, SIZE), 10)
        check("stop: text mode back", not black)

        # Journal priorities, from this run.
        lines = s.journal()
        by = {p: [t for q, t in lines if q == p] for p in (3, 6, 7)}
        for p, name in ((3, "err"), (6, "info"), (7, "debug")):
            log("journal %s: %d lines, e.g. %s" % (name, len(by[p]), " | ".join(by[p][:3])))
        log("journal err, every distinct line:\n  " + "\n  ".join(sorted(set(by[3]))))
        check("journal: only err, info, debug", {p for p, _ in lines} == {3, 6, 7})
        check("journal: err holds errors only", by[3] and all(re.search(
            r"rror|[Cc]annot|[Uu]nable|failed|unreachable|refused|No such|denied|Connection", t) for t in by[3]))
        check("journal: connect info", any("got stream w=160, h=120" in t for t in by[6]))

        # Purge: nothing of the package left.
        check("apt-get purge", sh("apt-get purge -y -qq velmor")[0] == 0)
        left = sh("find / -xdev -name '*velmor*' -not -path '/usr/local/lib/velmor-test*' -not -path '/root/build-deb*' "
                  "-not -name 'velmor-test*'; getent passwd velmor-player; getent group velmor")[1]
        check("purge leaves no file, user or group", left == "", left)
    finally:
        s.close()
    log("booted in %.1f s; total %.1f s" % (booted, time.monotonic() - t0))
    print("%d passed, %d failed" % (sum(results), len(results) - sum(results)))
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
