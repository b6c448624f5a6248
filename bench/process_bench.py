#!/usr/bin/env python3
"""Measures the running `nuvik` process from the outside.

  idle       context switches of all its threads over a quiet period with the
             port open and no traffic
  failing    wake-ups per second while its port's device keeps failing (COM3:
             is a pseudo-terminal whose far side is closed after start)
  footprint  VmRSS and VmHWM after start, and the sizes of the Windows
             executables when they are built
  process    packets per second from `nuvik-adapter --fast` through the
             handheld's own pseudo-terminal to SendInput trace lines,
             side by side (alternating rounds) with the bare reader
             (bench/bare_reader.cpp: poll() on one pseudo-terminal, reads of
             up to 4 KiB, 4-byte packets framed, one line per packet through
             line-buffered stdio)
  latency    one packet at a time, written on the adapter's side of the
             pseudo-terminal, until its line arrives on standard output; for
             nuvik and for the bare reader
  arm        packets per second from `nuvik-adapter --fast` through
             `nuvik-arm EXE` (the program's ARM executable on the emulated
             CPU) and through `nuvik`, in alternating rounds (--arm-exe)
  soak       nuvik's resident memory at start, after a warm-up and after
             --soak-packets more packets; once with keys that type and erase
             (the focus text stays empty), once with keys that type (the
             focus text fills to its limit and stays there)

Usage: process_bench.py BUILD_DIR [--idle-seconds S] [--failing-seconds S]
                        [--packets N] [--rounds R] [--latency-packets N]
                        [--soak-packets N] [--typing-soak-packets N]
                        [--windows-dir DIR ...] [--arm-exe EXE]
Prints one "RESULT key value" line per figure, as the other benchmarks do.
"""
import argparse
import glob
import os
import re
import signal
import statistics
import subprocess
import sys
import threading
import time
import tty

LINE_RATE = 240.0  # packets per second on the 9600 bit/s wire


def result(key, value):
    print(f"RESULT {key} {value:.6g}", flush=True)


class Nuvik:
    """The handheld program with its stdout read line by line on a thread.

    Its standard input stays open (and silent) so that the console does not
    see the end of its input. Lines starting with `key_prefix` are counted,
    not kept; the time the chunk holding one arrived is `last_key_at`.
    """

    def __init__(self, build, env=None, argv=None, key_prefix=b"SendInput "):
        environment = dict(os.environ)
        environment.update(env or {})
        self.proc = subprocess.Popen(argv or [os.path.join(build, "nuvik")], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment)
        self.key_prefix = key_prefix
        self.lines = []
        self.key_events = 0
        self.key_target = None
        self.target_reached_at = None
        self.last_key_at = None
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self._pump, daemon=True)
        self.thread.start()

    def _pump(self):
        fd = self.proc.stdout.fileno()
        partial = b""
        while True:
            chunk = os.read(fd, 1 << 20)
            arrived = time.monotonic()
            if not chunk:
                break
            parts = (partial + chunk).split(b"\n")
            partial = parts.pop()
            with self.cond:
                for raw in parts:
                    if raw.startswith(self.key_prefix):
                        self.key_events += 1
                        self.last_key_at = arrived
                        if self.key_events == self.key_target:
                            self.target_reached_at = arrived
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


def start_nuvik(build, argv=None):
    """nuvik (or the handheld `argv` names), up with its tray icon, and the
    path its adapter writes to."""
    nuvik = Nuvik(build, argv=argv)
    match = nuvik.wait_line(r'^port name="COM\d:" path="([^"]+)"')
    if match is None or not started(nuvik):
        nuvik.stop()
        sys.exit("process_bench: nuvik did not announce its port")
    time.sleep(0.5)  # start-up's last effects settle; the reader is in its wait
    return nuvik, match.group(1)


def start_bare_reader(build):
    reader = Nuvik(build, argv=[os.path.join(build, "bench", "nuvik_bench_bare_reader")], key_prefix=b"packet ")
    match = reader.wait_line(r'^port path="([^"]+)"')
    if match is None:
        reader.stop()
        sys.exit("process_bench: the bare reader did not announce its pseudo-terminal")
    return reader, match.group(1)


# Four packets: A pressed and let go, twice. The throughput runs type "a"
# again and again.
TYPE_A = "41 1E 00 5F 41 1E 80 DF " * 2
# Four packets: A, then Backspace. The focus window's text stays empty
# however long the soak runs.
TYPE_AND_ERASE = "41 1E 00 5F 41 1E 80 DF 08 0E 00 06 08 0E 80 86"


def fast_run(build, reader, path, packets, keys=TYPE_A, timeout=120):
    """`nuvik-adapter --fast` sends `keys` (four packets) until `packets`
    (rounded down to a multiple of four) have gone; returns packets per
    second from the adapter's start to the last one's key line."""
    repeat = packets // 4
    with reader.cond:
        target = reader.key_events + repeat * 4
        reader.key_target = target
        reader.target_reached_at = None
    begin = time.monotonic()
    adapter = subprocess.run([os.path.join(build, "nuvik-adapter"), "--fast", "--repeat", str(repeat),
                              "--hex", keys, path], capture_output=True, text=True)
    if adapter.returncode != 0:
        sys.exit("process_bench: nuvik-adapter failed: " + adapter.stderr)
    if not reader.wait_key_events(target, timeout=timeout):
        sys.exit(f"process_bench: {reader.key_events} of {target} key lines arrived")
    return repeat * 4 / (reader.target_reached_at - begin)


def alternating(build, first, second, packets, rounds):
    """Rounds of fast_run on two (reader, path) pairs in turn, so that load
    from anything else on the machine falls on both alike; the two lists of
    packets per second."""
    rates = ([], [])
    for _ in range(rounds):
        for reader, kept in zip((first, second), rates):
            kept.append(fast_run(build, reader[0], reader[1], packets))
    return rates


def measure_process(build, packets, rounds):
    """nuvik and the bare reader in alternating rounds of the same run."""
    nuvik, nuvik_path = start_nuvik(build)
    bare, bare_path = start_bare_reader(build)
    try:
        program, floor = alternating(build, (nuvik, nuvik_path), (bare, bare_path), packets, rounds)
        print("  process: nuvik " + ", ".join(f"{r:,.0f}" for r in program) + " packets/s; bare reader " +
              ", ".join(f"{r:,.0f}" for r in floor), file=sys.stderr)
        per_second = statistics.median(program)
        bare_per_second = statistics.median(floor)
        result("process_packets_per_s", per_second)
        result("process_x_line_rate", per_second / LINE_RATE)
        result("bare_reader_packets_per_s", bare_per_second)
        result("process_share_of_bare", per_second / bare_per_second)
    finally:
        nuvik.stop()
        bare.stop()


def measure_arm(build, exe, packets, rounds):
    """nuvik-arm running the ARM executable and nuvik, in alternating rounds
    of the same run; the goal is ten times the wire's rate or more."""
    arm, arm_path = start_nuvik(build, argv=[os.path.join(build, "nuvik-arm"), exe])
    nuvik, nuvik_path = start_nuvik(build)
    try:
        emulated, native = alternating(build, (arm, arm_path), (nuvik, nuvik_path), packets, rounds)
        print("  arm: nuvik-arm " + ", ".join(f"{r:,.0f}" for r in emulated) + " packets/s; nuvik " +
              ", ".join(f"{r:,.0f}" for r in native), file=sys.stderr)
        result("arm_packets_per_s", statistics.median(emulated))
        result("arm_x_line_rate", statistics.median(emulated) / LINE_RATE)
        result("arm_share_of_nuvik", statistics.median(emulated) / statistics.median(native))
    finally:
        arm.stop()
        nuvik.stop()


def one_at_a_time(reader, path, packets, warm_up=20):
    """Latencies in microseconds, sorted: each packet is written whole on the
    adapter's side once the previous one's line has arrived and a
    millisecond has passed, as between a person's key events."""
    fd = os.open(path, os.O_WRONLY | os.O_NOCTTY)
    try:
        tty.setraw(fd)
        keys = [bytes.fromhex("41 1E 00 5F"), bytes.fromhex("41 1E 80 DF")]
        latencies = []
        for i in range(packets + warm_up):
            with reader.cond:
                expected = reader.key_events + 1
            written = time.monotonic()
            os.write(fd, keys[i % 2])
            if not reader.wait_key_events(expected, timeout=5):
                sys.exit(f"process_bench: packet {i} never arrived")
            if i >= warm_up:
                latencies.append((reader.last_key_at - written) * 1e6)
            time.sleep(0.001)
        return sorted(latencies)
    finally:
        os.close(fd)


def percentile(sorted_values, share):
    return sorted_values[min(len(sorted_values) - 1, int(share * (len(sorted_values) - 1) + 0.5))]


def measure_latency(build, packets):
    nuvik, nuvik_path = start_nuvik(build)
    bare, bare_path = start_bare_reader(build)
    try:
        for name, reader, path in (("process", nuvik, nuvik_path), ("bare_reader", bare, bare_path)):
            latencies = one_at_a_time(reader, path, packets)
            print(f"  latency, {name}: median {percentile(latencies, 0.5):.1f} us, "
                  f"p99 {percentile(latencies, 0.99):.1f} us, max {latencies[-1]:.1f} us", file=sys.stderr)
            result(f"{name}_latency_median_us", percentile(latencies, 0.5))
            result(f"{name}_latency_p99_us", percentile(latencies, 0.99))
    finally:
        nuvik.stop()
        bare.stop()


def measure_soak(build, packets, warm_up=100000, keys=TYPE_AND_ERASE, name="soak"):
    """Resident memory at start, once warm (after `warm_up` packets), and
    after `packets` more."""
    nuvik, path = start_nuvik(build)
    try:
        pid = nuvik.proc.pid
        start = status_kib(pid, "VmRSS")
        fast_run(build, nuvik, path, warm_up, keys=keys, timeout=600)
        warm = status_kib(pid, "VmRSS")
        sent = packets - packets % 4
        fast_run(build, nuvik, path, sent, keys=keys, timeout=600)
        after = status_kib(pid, "VmRSS")
        print(f"  {name}: VmRSS {start:,} KiB at start, {warm:,} KiB after {warm_up:,} packets, "
              f"{after:,} KiB after {sent:,} more", file=sys.stderr)
        result(f"{name}_packets", sent)
        result(f"{name}_rss_start_kib", start)
        result(f"{name}_rss_warm_kib", warm)
        result(f"{name}_rss_after_kib", after)
        result(f"{name}_growth_kib", after - warm)
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
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--latency-packets", type=int, default=500)
    parser.add_argument("--soak-packets", type=int, default=1000000)
    # A million characters: 2 MB of text were the focus window to keep it all.
    parser.add_argument("--typing-soak-packets", type=int, default=2000000)
    parser.add_argument("--windows-dir", action="append", default=[])
    parser.add_argument("--arm-exe", help="the program's ARM executable, for nuvik-arm's throughput")
    args = parser.parse_args()
    if not os.access(os.path.join(args.build, "nuvik"), os.X_OK):
        sys.exit(f"process_bench: no nuvik in {args.build}")
    measure_idle(args.build, args.idle_seconds)
    measure_failing(args.build, args.failing_seconds)
    if args.packets > 0:
        measure_process(args.build, args.packets, args.rounds)
    if args.arm_exe and args.packets > 0:
        measure_arm(args.build, args.arm_exe, args.packets, args.rounds)
    if args.latency_packets > 0:
        measure_latency(args.build, args.latency_packets)
    if args.soak_packets > 0:
        measure_soak(args.build, args.soak_packets)
    if args.typing_soak_packets > 0:
        # 100,000 characters while warming: the text has reached its limit
        # and let go of a limit's worth more than once.
        measure_soak(args.build, args.typing_soak_packets, warm_up=200000, keys=TYPE_A, name="typing_soak")
    measure_windows(args.windows_dir)
    return 0


if __name__ == "__main__":
    sys.exit(main())
