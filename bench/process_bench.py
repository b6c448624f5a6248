#!/usr/bin/env python3
"""Measures the running `nuvik` process from the outside.

  idle       context switches of all its threads over a quiet period with the
             port open and no traffic
  failing    wake-ups per second while its port's device keeps failing (COM3:
             is a pseudo-terminal whose far side is closed after start)
  footprint  VmRSS and VmHWM after start, and the sizes of the Windows
             executables when they are built
  process    packets per second from `nuvik-adapter --fast` through the
             handheld's own pseudo-terminal bridge to SendInput trace lines

Usage: process_bench.py BUILD_DIR [--idle-seconds S] [--failing-seconds S]
                        [--packets N] [--windows-dir DIR ...]
Prints one "RESULT key value" line per figure, as the other benchmarks do.
"""
import argparse
import glob
import os
import re
import signal
import subprocess
import sys
import threading
import time

LINE_RATE = 240.0  # packets per second on the 9600 bit/s wire


def result(key, value):
    print(f"RESULT {key} {value:.6g}", flush=True)


class Nuvik:
    """The handheld program with its stdout read line by line on a thread.

    Its standard input stays open (and silent) so that the console does not
    see the end of its input.
    """

    def __init__(self, build, env=None):
        environment = dict(os.environ)
        environment.update(env or {})
        self.proc = subprocess.Popen([os.path.join(build, "nuvik")], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment)
        self.lines = []
        self.key_events = 0
        self.key_target = None
        self.target_reached_at = None
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self._pump, daemon=True)
        self.thread.start()

    def _pump(self):
        fd = self.proc.stdout.fileno()
        partial = b""
        while True:
            chunk = os.read(fd, 1 << 20)
            if not chunk:
                break
            parts = (partial + chunk).split(b"\n")
            partial = parts.pop()
            with self.cond:
                for raw in parts:
                    if raw.startswith(b"SendInput "):
                        self.key_events += 1
                        if self.key_events == self.key_target:
                            self.target_reached_at = time.monotonic()
                    elif len(self.lines) < 10000:
                        self.lines.append(raw.decode("utf-8", "replace"))
                self.cond.notify_all()
        with self.cond:
            self.lines.append(None)  # end of output
            self.cond.notify_all()

    def wait_line(self, pattern, timeout=10.0):
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for line in self.lines:
                    if line is None:
                        return None
                    match = regex.search(line)
                    if match:
                        return match
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.cond.wait(left)

    def wait_key_events(self, count, timeout):
        deadline = time.monotonic() + timeout
        with self.cond:
            while self.key_events < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self.cond.wait(left)
            return True

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdin.close()
        self.thread.join(timeout=10)
        self.proc.stdout.close()
        self.proc.stderr.close()


def started(nuvik):
    """The program is up once its tray icon is there (the port opened first)."""
    return nuvik.wait_line(r"^Shell_NotifyIcon op=NIM_ADD") is not None


def context_switches(pid):
    """Voluntary plus involuntary context switches, per thread id."""
    switches = {}
    for status in glob.glob(f"/proc/{pid}/task/*/status"):
        tid = status.split("/")[4]
        total = 0
        try:
            with open(status) as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
        except FileNotFoundError:
            continue  # the thread ended meanwhile
        switches[tid] = total
    return switches


def thread_name(pid, tid):
    try:
        with open(f"/proc/{pid}/task/{tid}/comm") as f:
            return f.read().strip()
    except FileNotFoundError:
        return "?"


def switches_over(pid, seconds):
    before = context_switches(pid)
    time.sleep(seconds)
    after = context_switches(pid)
    per_thread = {tid: after[tid] - before.get(tid, 0) for tid in after}
    return sum(per_thread.values()), per_thread


def status_kib(pid, field, name="status"):
    with open(f"/proc/{pid}/{name}") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def measure_idle(build, seconds):
    nuvik = Nuvik(build)
    try:
        if not started(nuvik):
            sys.exit("process_bench: nuvik did not start")
        time.sleep(1.0)  # start-up's last effects settle; the reader is in its wait
        pid = nuvik.proc.pid
        result("rss_kib", status_kib(pid, "VmRSS"))
        result("hwm_kib", status_kib(pid, "VmHWM"))
        # What is the process's own (heap, stacks) rather than shared pages
        # of the executable and the runtime libraries.
        result("anon_kib", status_kib(pid, "Anonymous", "smaps_rollup"))
        result("threads", len(os.listdir(f"/proc/{pid}/task")))
        total, per_thread = switches_over(pid, seconds)
        for tid, count in sorted(per_thread.items()):
            if count:
                print(f"  idle: thread {tid} ({thread_name(pid, tid)}): {count} switches", file=sys.stderr)
        result("idle_switches", total)
        result("idle_seconds", seconds)
    finally:
        nuvik.stop()


def measure_failing(build, seconds):
    master, slave = os.openpty()
    path = os.ttyname(slave)
    os.close(slave)
    nuvik = Nuvik(build, env={"NUVIK_COM3": path})
    try:
        if not started(nuvik):
            os.close(master)
            sys.exit("process_bench: nuvik did not open " + path)
        os.close(master)  # the device goes away: every wait on the port now fails
        time.sleep(1.0)
        if nuvik.proc.poll() is not None:
            sys.exit("process_bench: nuvik ended when its device failed")
        total, _ = switches_over(nuvik.proc.pid, seconds)
        result("failing_wakeups_per_s", total / seconds)
    finally:
        nuvik.stop()


def measure_process(build, packets):
    nuvik = Nuvik(build)
    try:
        match = nuvik.wait_line(r'^port name="COM\d:" path="([^"]+)"')
        if match is None or not started(nuvik):
            sys.exit("process_bench: nuvik did not announce its port")
        time.sleep(0.5)
        pairs = packets // 2
        with nuvik.cond:
            nuvik.key_target = pairs * 2
        begin = time.monotonic()
        adapter = subprocess.run([os.path.join(build, "nuvik-adapter"), "--fast", "--repeat", str(pairs),
                                  "--hex", "41 1E 00 5F 41 1E 80 DF", match.group(1)],
                                 capture_output=True, text=True)
        if adapter.returncode != 0:
            sys.exit("process_bench: nuvik-adapter failed: " + adapter.stderr)
        if not nuvik.wait_key_events(pairs * 2, timeout=60):
            sys.exit(f"process_bench: {nuvik.key_events} of {pairs * 2} key events arrived")
        per_second = pairs * 2 / (nuvik.target_reached_at - begin)
        result("process_packets_per_s", per_second)
        result("process_x_line_rate", per_second / LINE_RATE)
    finally:
        nuvik.stop()


def measure_windows(directories):
    for directory in directories:
        exe = os.path.join(directory, "nuvik.exe")
        if os.path.exists(exe):
            result(f"exe_bytes_{os.path.basename(directory.rstrip('/'))}", os.path.getsize(exe))


def main():
    parser = argparse.ArgumentParser(description="Measures the running nuvik process.")
    parser.add_argument("build")
    parser.add_argument("--idle-seconds", type=float, default=10.0)
    parser.add_argument("--failing-seconds", type=float, default=5.0)
    parser.add_argument("--packets", type=int, default=100000)
    parser.add_argument("--windows-dir", action="append", default=[])
    args = parser.parse_args()
    if not os.access(os.path.join(args.build, "nuvik"), os.X_OK):
        sys.exit(f"process_bench: no nuvik in {args.build}")
    measure_idle(args.build, args.idle_seconds)
    measure_failing(args.build, args.failing_seconds)
    if args.packets > 0:
        measure_process(args.build, args.packets)
    measure_windows(args.windows_dir)
    return 0


if __name__ == "__main__":
    sys.exit(main())
