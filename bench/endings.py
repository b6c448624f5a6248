#!/usr/bin/env python3
"""How `nuvik` runs end, counted over many runs: does each one clean up?

    bench/endings.py BUILD_DIR [RUNS [WAY...]]

Each way of ending a resident run (all of them, or the WAYs named) is played
RUNS times (default 100; twice as many for a signal during start-up) against
BUILD_DIR/nuvik, and every run is sorted by how it ended:

  clean    exit code 1 (WinMain's), the tray icon added and removed once,
           the final `focus text=` line written
  early    ended by the signal before the program ran its first
           instruction (no trace at all): nothing to clean up yet
  lost     still running 10 s after the signal(s): killed here
  forced   ended at once by a second signal, without the clean-up
  other    anything else

The ways:

  terminal   an interactive bash in a pseudo-terminal runs nuvik in the
             foreground; once the tray icon is up the terminal is closed
             (its master side), so the kernel hangs up the foreground
             group and bash hangs up its jobs: two SIGHUPs
  sighup2    two SIGHUPs one millisecond apart
  timeout    `timeout 1 nuvik` (SIGTERM to the child, then to its group)
  sigint2    two SIGINTs back to back (Ctrl-C twice)
  startup    one SIGTERM, SIGINT or SIGHUP 0 to 30 ms after launch
  held       the same, with the three signals blocked when the process is
             started, so that none comes before the program's first
             instruction (as the tests run it): no run can end early
"""

import os
import pty
import random
import select
import signal
import subprocess
import sys
import tempfile
import time

SIGNALS = [signal.SIGTERM, signal.SIGINT, signal.SIGHUP]


def classify(code, out):
    lines = out.splitlines()
    if code is None:
        return "lost"
    if code == 1 or code == 124:
        adds = sum(l.startswith("Shell_NotifyIcon op=NIM_ADD") for l in lines)
        deletes = sum(l.startswith("Shell_NotifyIcon op=NIM_DELETE") for l in lines)
        if adds == 1 and deletes == 1 and lines and lines[-1].startswith("focus text="):
            return "clean"
        return "other"
    if code < 0 and not lines:
        return "early"
    if code < 0:
        return "forced"
    return "other"


def wait_for(path, text, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            with open(path) as f:
                if text in f.read():
                    return True
        except FileNotFoundError:
            pass
        time.sleep(0.005)
    return False


def wait_end(process, seconds=10):
    try:
        return process.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        return None


def run_signals(nuvik, signals, gap, timeout_prefix=False, startup=False, held=False):
    with tempfile.TemporaryFile("w+") as out:
        argv = (["timeout", "1"] if timeout_prefix else []) + [nuvik]
        hold = (lambda: signal.pthread_sigmask(signal.SIG_BLOCK, SIGNALS)) if held else None
        process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=out, stderr=subprocess.DEVNULL,
                                   preexec_fn=hold)
        if startup:
            time.sleep(random.uniform(0, 0.030))
        elif not timeout_prefix:
            if not wait_for("/proc/%d/fd/1" % process.pid, "NIM_ADD", 10):
                process.kill()
        for i, number in enumerate(signals):
            if i:
                time.sleep(gap)
            process.send_signal(number)
        code = wait_end(process)
        out.seek(0)
        return classify(code, out.read())


def run_terminal(nuvik, workdir, index):
    out = os.path.join(workdir, "out%d" % index)
    pidfile = os.path.join(workdir, "pid%d" % index)
    child, master = pty.fork()
    if child == 0:
        os.execvp("bash", ["bash", "--norc", "--noprofile", "-i"])
    os.write(master, ("sh -c 'echo $$ > %s; exec %s > %s 2>/dev/null'\n" % (pidfile, nuvik, out)).encode())
    up = wait_for(out, "NIM_ADD", 10) and wait_for(pidfile, "\n", 10)
    # Drain what bash echoed, then close the terminal.
    while select.select([master], [], [], 0)[0]:
        try:
            if not os.read(master, 4096):
                break
        except OSError:
            break
    os.close(master)
    os.waitpid(child, 0)
    if not up:
        return "other"
    pid = int(open(pidfile).read())
    end = time.monotonic() + 10
    while time.monotonic() < end and os.path.exists("/proc/%d" % pid):
        try:
            if open("/proc/%d/stat" % pid).read().split(") ")[1][0] == "Z":
                break
        except (FileNotFoundError, IndexError):
            break
        time.sleep(0.01)
    if os.path.exists("/proc/%d" % pid) and open("/proc/%d/stat" % pid).read().split(") ")[1][0] != "Z":
        os.kill(pid, signal.SIGKILL)
        return "lost"
    text = open(out).read()
    # The process was bash's child, not ours: its exit code is bash's to see.
    lines = text.splitlines()
    adds = sum(l.startswith("Shell_NotifyIcon op=NIM_ADD") for l in lines)
    deletes = sum(l.startswith("Shell_NotifyIcon op=NIM_DELETE") for l in lines)
    return "clean" if adds == 1 and deletes == 1 and lines[-1].startswith("focus text=") else "forced"


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    build = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    nuvik = os.path.abspath(os.path.join(build, "nuvik"))
    random.seed(20261208)
    ways = {
        "terminal": None,
        "sighup2": lambda: run_signals(nuvik, [signal.SIGHUP, signal.SIGHUP], 0.001),
        "timeout": lambda: run_signals(nuvik, [], 0, timeout_prefix=True),
        "sigint2": lambda: run_signals(nuvik, [signal.SIGINT, signal.SIGINT], 0),
        "startup": lambda: run_signals(nuvik, [random.choice(SIGNALS)], 0, startup=True),
        "held": lambda: run_signals(nuvik, [random.choice(SIGNALS)], 0, startup=True, held=True),
    }
    chosen = sys.argv[3:] or list(ways)
    with tempfile.TemporaryDirectory() as workdir:
        for name in chosen:
            run = ways[name]
            count = runs * 2 if name in ("startup", "held") else runs
            tally = {}
            for i in range(count):
                kind = run_terminal(nuvik, workdir, i) if run is None else run()
                tally[kind] = tally.get(kind, 0) + 1
            print("%-9s %4d runs: %s" % (name, count, ", ".join("%s %d" % kv for kv in sorted(tally.items()))))
            sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
