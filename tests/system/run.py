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
import json
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "..", "tools"), os.path.join(HERE, "..", "..", "tools", "system")]
import machine  # noqa: E402
from qemu_screen import settle  # noqa: E402

COLOURS = {"red": (255, 0, 0), "lime": (0, 255, 0), "blue": (0, 0, 255), "white": (255, 255, 255),
           "yellow": (255, 255, 0)}
PORT = {name: 9001 + i for i, name in enumerate(COLOURS)}
W, H = 240, 180
FIRST = {"red": (0, 0), "lime": (240, 0), "blue": (0, 180), "white": (240, 180)}
# Reload: white removed, blue moved, yellow added; red and lime unchanged.
SECOND = {"red": (0, 0), "lime": (240, 0), "blue": (480, 180), "yellow": (480, 0)}
results = []


def check(name, ok, detail=""):
    results.append(bool(ok))
    machine.log("%s %s%s" % ("PASS" if ok else "FAIL", name, ": " + detail if detail else ""))


def wall(layout, bad=None):
    lines = ["play -n %s -p %d %d -s %d %d -f mjpeg tcp://127.0.0.1:%d" % (n, x, y, W, H, PORT[n])
             for n, (x, y) in layout.items()]
    return "\n".join(lines[:1] + ([bad] if bad else []) + lines[1:]) + "\n"


def judge(layout, black=True):
    """What is wrong on a screenshot: windows not of their colour, and
    (black) anything but black outside them."""
    def wrong(shot):
        w, h, px = shot
        at = lambda x, y: px[3 * (y * w + x):3 * (y * w + x) + 3]
        bad = ["%s at %s is %s" % (n, (x + dx, y + dy), tuple(at(x + dx, y + dy)))
               for n, (x, y) in layout.items() for dx in range(W // 5, W, W // 5) for dy in range(H // 5, H, H // 5)
               if any(abs(a - b) > 48 for a, b in zip(at(x + dx, y + dy), COLOURS[n]))]
        inside = lambda x, y: any(wx <= x < wx + W and wy <= y < wy + H for wx, wy in layout.values())
        text = sum(1 for y in range(0, h, 2) for x in range(0, w, 2) if not inside(x, y) and max(at(x, y)) > 40)
        return bad[:3] + (["%d pixels outside the windows are not black" % text] if black and text else [])
    return wrong


def main():
    deb = glob.glob(os.path.join(sys.argv[1], "velmor_*.deb"))[0]
    cache = os.path.abspath(sys.argv[2])
    t0 = time.monotonic()
    m = machine.boot(cache, deb)
    booted = time.monotonic() - t0

    def sh(cmd, input=None, timeout=120):
        return m.run(["/bin/sh", "-c", cmd], input=input.encode() if isinstance(input, str) else input,
                     timeout=timeout)

    def screen(name, layout, black=True, timeout=60):
        shot, wrong = settle(m, os.path.join(cache, "shot-%s.ppm" % name), judge(layout, black), timeout)
        check("screen " + name, not wrong, "; ".join(wrong) or "%dx%d, every window its colour" % shot[:2])

    def journal():
        out = sh("journalctl -u velmor -o json --no-pager _COMM=velmor")[1]
        return [(int(e["PRIORITY"]), e["MESSAGE"]) for e in map(json.loads, out.splitlines())
                if isinstance(e.get("MESSAGE"), str)]

    def stats():
        out = sh("velmorctl stats")[1]
        return {s["name"]: s for s in (dict(re.findall(r"(\w+)=(\"[^\"]*\"|\S+)", l)) for l in out.splitlines())
                if "name" in s}

    def until(what, timeout=30):
        deadline = time.monotonic() + timeout
        while not what() and time.monotonic() < deadline:
            time.sleep(0.5)
        return what()

    def show(*props):
        out = sh("systemctl show velmor -p " + " -p ".join(props))[1]
        return dict(l.split("=", 1) for l in out.splitlines())
    try:
        for n, (r, g, b) in COLOURS.items():
            sh("systemd-run -q --unit=media-%s -p Restart=always -p RestartSec=200ms ffmpeg -nostdin -v error "
               "-re -f lavfi -i color=c=%s:s=160x120:r=5 -c:v mjpeg -f mjpeg tcp://127.0.0.1:%d?listen"
               % (n, n, PORT[n]))
        listening = lambda: all(":%04X 00000000:0000 0A" % p in sh("cat /proc/net/tcp")[1] for p in PORT.values())
        check("media sources listen", until(listening, 90))

        # The README's service section, as written ("editor": the test's wall).
        readme = open(os.path.join(HERE, "..", "..", "README.md")).read()
        block = readme.split("## Run it as a service")[1].split("\n\n")[1]
        sh("mkdir -p /root/build-deb && cat > /root/build-deb/" + os.path.basename(deb), open(deb, "rb").read())
        for line in block.splitlines():
            cmd = line.split("#")[0].strip()
            if cmd.startswith("make ") or not cmd:
                continue
            if cmd.startswith("editor "):
                st, out, err = sh("cat > " + cmd.split()[1], wall(FIRST))
            else:
                start = time.monotonic()
                st, out, err = sh("cd /root && " + cmd)
                if "enable --now" in cmd:  # enabling reloads systemd: seconds under emulation, not the start's
                    t = show("InactiveExitTimestampMonotonic", "ActiveEnterTimestampMonotonic", "ActiveState")
                    took = (int(t["ActiveEnterTimestampMonotonic"]) - int(t["InactiveExitTimestampMonotonic"])) / 1e6
                    check("enable --now: active within 10 s", t["ActiveState"] == "active" and took <= 10,
                          "started in %.1f s, enable --now returned after %.1f s" % (took, time.monotonic() - start))
            check("README: " + cmd, st == 0, "" if st == 0 else "status %d: %s%s" % (st, out, err))
            if cmd.startswith("velmorctl play"):
                sh("velmorctl stop " + cmd.split("-n ")[1].split()[0])

        # The screen is the player's: console text and kernel messages meanwhile.
        sh("for i in 1 2 3 4 5; do echo console text $i > /dev/tty1; echo '<2>kernel message' > /dev/kmsg; done")
        screen("wall", FIRST)

        # Every command's answer, on the socket, and its exit status.
        for cmd, want, pattern in [
                ("ping x", 0, r"pong\(x\)\n"),
                ("stats", 0, r"(name=\w+ state=CONNECTED codec=mjpeg size=160x120 .*\n){4}render busy=\S+ pictures=\d+\n"),
                ("stats red", 0, r"name=red state=CONNECTED .*\nrender busy=.*\n"),
                ("stats nosuch", 1, r"Error: unable to find stream 'nosuch'\.\n"),
                ("snapshot /run/velmor/x.png", 0, r""),
                ("snapshot /no/dir/x.png", 1, r"Error: cannot write '/no/dir/x.png': No such file or directory\n"),
                ("list", 0, r"( +\w+ +CONNECTED tcp://127\.0\.0\.1:\d+\n){4}"),
                ("play -n extra -s 80 60 -f mjpeg tcp://127.0.0.1:9", 0, r"(cmd_play: .*\n){6}"),
                ("play -n extra tcp://127.0.0.1:9", 1, r"Error: duplicate stream name 'extra'!\n"),
                ("stop extra", 0, r""),
                ("stop extra", 1, r"Error: unable to find stream 'extra'\.\n"),
                ("help", 0, r"commands are:\n(.*\n)+Type 'help <command>' for more details\.\n"),
                ("help snapshot", 0, r"Write the whole screen.*\n(.*\n)+"),
                ("nosuch", 1, r"No such command\.\n")]:
            st, out, err = sh("velmorctl " + cmd)
            check("velmorctl " + cmd, st == want and re.fullmatch(pattern, out), "status %d: %r" % (st, out))
        check("snapshot is a PNG", sh("od -An -tx1 -N8 /run/velmor/x.png")[1].split() == "89 50 4e 47 0d 0a 1a 0a".split())
        check("no player: status 2", sh("velmorctl --control /run/none ping")[0] == 2)
        check("a member of the group velmor", sh("adduser -q --system alice && adduser -q alice velmor && "
                                                 "su -s /bin/sh -c 'velmorctl ping' alice")[1] == "pong()\n")

        # Reload: unchanged streams play on without a reconnect.
        before = stats()
        time.sleep(2)
        sh("cat > /etc/velmor/wall.conf", wall(SECOND))
        check("systemctl reload", sh("systemctl reload velmor")[0] == 0)
        reloaded = lambda: set(stats()) == set(SECOND) and all(s["state"] == "CONNECTED" for s in stats().values())
        check("reload: added, removed, moved", until(reloaded), str(sorted(stats())))
        after = stats()
        for n in ("red", "lime"):
            check("reload: %s carries on" % n, after[n]["reconnects"] == before[n]["reconnects"] and
                  int(after[n]["connected_s"]) >= int(before[n]["connected_s"]) + 2,
                  "reconnects %s -> %s, connected_s %s -> %s" % (before[n]["reconnects"], after[n]["reconnects"],
                                                                 before[n]["connected_s"], after[n]["connected_s"]))
        screen("reloaded", SECOND, black=False)

        # A bad line is reported with its place, the rest runs; restart ends
        # the old process with status 0.
        seen = len(journal())
        sh("cat > /etc/velmor/wall.conf", wall(SECOND, bad="plya -n oops"))
        check("restart", sh("systemctl restart velmor")[0] == 0)
        check("bad line: the rest runs", until(lambda: set(stats()) == set(SECOND)))
        new = journal()[seen:]
        check("bad line reported", (3, "/etc/velmor/wall.conf:2: No such command.") in new, str(new[:8]))
        system_says = sh("journalctl -u velmor _PID=1 -o cat")[1]
        check("restart: status 0", "Failed with result" not in system_says and "Deactivated successfully" in system_says)

        # Watchdog: a stopped player is aborted and started again.
        pid = show("MainPID")["MainPID"]
        check("watchdog set", show("WatchdogUSec")["WatchdogUSec"] == "10s")
        stopped_at = float(sh("cat /proc/uptime; kill -STOP " + pid)[1].split()[0])
        def restarted():
            st = show("MainPID", "ActiveState")
            return st["ActiveState"] == "active" and st["MainPID"] not in (pid, "0")
        back = until(restarted, 40)
        t = {k: int(v) / 1e6 - stopped_at for k, v in show("ExecMainStartTimestampMonotonic",
                                                           "ActiveEnterTimestampMonotonic").items()}
        check("watchdog: restarted within WatchdogSec + 5 s", back and t["ExecMainStartTimestampMonotonic"] <= 15,
              "started again %.1f s after SIGSTOP, ready after %.1f s" % tuple(t[k] for k in sorted(t, reverse=True)))
        screen("after the watchdog", SECOND)

        # Unreadable wall.conf: status 2, no restart loop.
        sh("chmod 000 /etc/velmor/wall.conf")
        sh("systemctl restart velmor")
        time.sleep(4)
        st = show("ActiveState", "ExecMainStatus", "NRestarts")
        check("unreadable wall.conf: status 2, no restart", st == {"ActiveState": "failed", "ExecMainStatus": "2",
                                                                    "NRestarts": "0"}, str(st))
        sh("chmod 644 /etc/velmor/wall.conf && systemctl reset-failed velmor && systemctl start velmor")

        # Hardening and the screen's owner.
        score = re.search(r"exposure level for velmor.service: ([\d.]+)", sh("systemd-analyze security velmor")[1])
        check("systemd-analyze security <= 4.0", score and float(score.group(1)) <= 4.0, score and score.group(0))
        status = sh("cat /proc/%s/status" % show("MainPID")["MainPID"])[1]
        check("unprivileged, one capability", "Uid:\t0" not in status and "CapEff:\t0000000004000000" in status,
              " ".join(l for l in status.splitlines() if l.startswith(("Uid", "Groups", "CapEff"))))
        screen("before stop", SECOND)
        check("stop: status 0", sh("systemctl stop velmor")[0] == 0 and show("ExecMainStatus")["ExecMainStatus"] == "0")
        sh("echo console text again > /dev/tty1")
        _, text = settle(m, os.path.join(cache, "shot-stopped.ppm"), lambda s: not judge({}, True)(s), 10)
        check("stop: text mode back", not text, "the console's text shows" if not text else "all black")

        # Journal priorities, from this run.
        lines = journal()
        by = {p: [t for q, t in lines if q == p] for p in (3, 6, 7)}
        for p, name in ((3, "err"), (6, "info"), (7, "debug")):
            machine.log("journal %s: %d lines, e.g. %s" % (name, len(by[p]), " | ".join(by[p][:3])))
        check("journal: only err, info, debug", all(p in by for p, _ in lines), str({p for p, _ in lines}))
        machine.log("journal err, every distinct line:\n  " + "\n  ".join(sorted(set(by[3]))))
        check("journal: err holds errors only", by[3] and all(re.search(
            r"rror|[Cc]annot|[Uu]nable|failed|unreachable|refused|No such|denied|Connection", t) for t in by[3]))
        check("journal: connect info", any("got stream w=160, h=120" in t for t in by[6]))

        # Purge: nothing of the package left.
        check("apt-get purge", sh("apt-get purge -y -qq velmor")[0] == 0)
        left = sh("find / -xdev -name '*velmor*' -not -path '/usr/local/lib/velmor-test*' -not -path '/root/build-deb*' "
                  "-not -path '/var/log/journal/*' -not -name 'velmor-test*'; getent passwd velmor-player; "
                  "getent group velmor")[1]
        check("purge leaves no file, user or group", left == "", left)
    finally:
        m.close()
    # SIGHUP ends a player without a script, as before.
    p = subprocess.Popen([os.path.join(sys.argv[1], "velmor"), "--control", os.path.join(cache, "hup.sock")],
                         stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1)
    p.send_signal(1)
    check("SIGHUP without a script ends the program", p.wait(10) == 0)
    machine.log("booted in %.1f s; total %.1f s" % (booted, time.monotonic() - t0))
    print("%d passed, %d failed" % (sum(results), len(results) - sum(results)))
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
