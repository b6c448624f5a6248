#!/usr/bin/env python3
"""Prints the benchmarks' table from what bench/run.sh gathered.

Usage: report.py RESULTS_TXT PIPELINE_JSON

RESULTS_TXT holds "RESULT key value" lines; PIPELINE_JSON is Google
Benchmark's JSON output of nuvik_bench_pipeline (median aggregates).
Each row: figure, measured, goal, ratio to the wire's limit, verdict. The
wire's limit: 240 packets/s and 4.17 ms per packet (9600 bit/s, 8N1, 4 bytes).
"""
import json
import sys

LINE_RATE = 240.0
PACKET_WIRE_US = 4 * 10 / 9600 * 1e6


def load_results(path):
    values = {}
    with open(path) as f:
        for line in f:
            words = line.split()
            if len(words) == 3 and words[0] == "RESULT":
                values[words[1]] = float(words[2])
    return values


def load_pipeline(path):
    """packets/s of each benchmark, by name without its argument."""
    rates = {}
    try:
        with open(path) as f:
            data = json.load(f)
    except (OSError, ValueError):
        return rates
    for entry in data.get("benchmarks", []):
        if entry.get("error_occurred"):
            continue
        if entry.get("run_type") == "aggregate" and entry.get("aggregate_name") != "median":
            continue
        name = entry.get("run_name", entry["name"]).split("/")[0]
        if "items_per_second" in entry:
            rates[name] = entry["items_per_second"]
    return rates


def rate_cell(rate):
    return f"{rate:,.0f} packets/s"


def main():
    values = load_results(sys.argv[1])
    rates = load_pipeline(sys.argv[2])
    rows = []
    missing = []

    def need(key, source=values):
        if key not in source:
            missing.append(key)
            return None
        return source[key]

    def row(figure, measured, goal, ratio, verdict):
        rows.append((figure, measured, goal, ratio, verdict))

    def verdict(ok):
        return "PASS" if ok else "MISS"

    goal_rate = 1000 * LINE_RATE
    for name, figure, judged in (
        ("BM_Decode", "Decoder alone, in memory", False),
        ("BM_DecodeAndDispatch", "Decoder + dispatch, in memory", True),
        ("BM_Dispatch", "Dispatch alone, in memory", False),
    ):
        rate = need(name, rates)
        if rate is not None:
            row(figure, rate_cell(rate), "≥ 1000× line rate" if judged else "—", f"{rate / LINE_RATE:,.0f}×",
                verdict(rate >= goal_rate) if judged else "info")

    rate = need("pty_packets_per_s")
    if rate is not None:
        row("End to end through a pty, in-process", rate_cell(rate), "≥ 1000× line rate",
            f"{rate / LINE_RATE:,.0f}×", verdict(rate >= goal_rate))
    cpu = values.get("pty_reader_cpu_us")
    if cpu:
        row("  reader thread's CPU time per packet", f"{cpu:,.2f} µs", "—",
            f"{1e6 / cpu / LINE_RATE:,.0f}× if it had a core", "info")
    switches = values.get("pty_reader_switches")
    if switches is not None:
        row("  reader thread's context switches per packet", f"{switches:.2f}", "—", "—", "info")
    waiting = values.get("pty_reader_waiting_share")
    if waiting is not None:
        row("  share of the time the reader waited for a CPU", f"{100 * waiting:.0f} %", "—", "—", "info")
    rate = values.get("pty_floor_per_packet_reads_packets_per_s")
    if rate is not None:
        row("  pty alone, read 1 byte then 3 per packet, no program", rate_cell(rate), "—",
            f"{rate / LINE_RATE:,.0f}×", "info")
    cpu = values.get("pty_floor_per_packet_reads_cpu_us")
    if cpu:
        row("  its reader's CPU time per packet", f"{cpu:,.2f} µs", "—",
            f"{1e6 / cpu / LINE_RATE:,.0f}× if it had a core", "info")
    switches = values.get("pty_floor_per_packet_reads_switches")
    if switches is not None:
        row("  its reader's context switches per packet", f"{switches:.2f}", "—", "—", "info")
    rate = values.get("pty_floor_packets_per_s")
    if rate is not None:
        row("  pty alone, read 4 KiB at a time, no program", rate_cell(rate), "—", f"{rate / LINE_RATE:,.0f}×",
            "info")
    rate = need("process_packets_per_s")
    bare = need("bare_reader_packets_per_s")
    if rate is not None:
        share = values.get("process_share_of_bare")
        row("End to end, nuvik process + nuvik-adapter --fast", rate_cell(rate),
            "≥ ½ of the bare reader" if share is not None else "—", f"{rate / LINE_RATE:,.0f}×",
            verdict(share >= 1 / 2) if share is not None else "info")
    if bare is not None:
        row("  bare reader: poll, pty reads of up to 4 KiB, a line a write per packet", rate_cell(bare), "—",
            f"{bare / LINE_RATE:,.0f}×", "info")
    share = values.get("process_share_of_bare")
    if share is not None:
        row("  nuvik's share of the bare reader's rate", f"{100 * share:.0f} %", "≥ 50 %", "—", "info")
    # Only when the ARM executable was there to run.
    rate = values.get("arm_packets_per_s")
    if rate is not None:
        row("End to end, nuvik-arm (the ARM executable emulated) + nuvik-adapter --fast", rate_cell(rate),
            "≥ 10× line rate", f"{rate / LINE_RATE:,.0f}×", verdict(rate >= 10 * LINE_RATE))
        share = values.get("arm_share_of_nuvik")
        if share is not None:
            row("  its share of nuvik's rate in the same rounds", f"{100 * share:.0f} %", "—", "—", "info")

    median = need("latency_median_us")
    p99 = need("latency_p99_us")
    worst = need("latency_max_us")
    if median is not None:
        row("Latency, median", f"{median:,.1f} µs", "—", f"{100 * median / PACKET_WIRE_US:.2f} % of a packet",
            "info")
    if p99 is not None:
        row("Latency, 99th percentile", f"{p99:,.1f} µs", "< 5 % of a packet (208 µs)",
            f"{100 * p99 / PACKET_WIRE_US:.2f} % of a packet", verdict(p99 < 0.05 * PACKET_WIRE_US))
    if worst is not None:
        row("Latency, worst", f"{worst:,.1f} µs", "—", f"{100 * worst / PACKET_WIRE_US:.2f} % of a packet", "info")
    for key, figure in (("pty_floor_median_us", "  pty alone, no program: median"),
                        ("pty_floor_p99_us", "  pty alone, no program: 99th percentile")):
        value = values.get(key)
        if value is not None:
            row(figure, f"{value:,.1f} µs", "—", f"{100 * value / PACKET_WIRE_US:.2f} % of a packet", "info")

    # Through the process the goal is set by the bare reader of the same run:
    # its 99th percentile, half again, plus 50 µs.
    bare_p99 = values.get("bare_reader_latency_p99_us")
    process_p99 = values.get("process_latency_p99_us")
    for key, figure in (("process_latency_median_us", "Latency through the nuvik process, median"),
                        ("process_latency_p99_us", "Latency through the nuvik process, 99th percentile"),
                        ("bare_reader_latency_median_us", "  bare reader: median"),
                        ("bare_reader_latency_p99_us", "  bare reader: 99th percentile")):
        value = values.get(key)
        if value is None:
            continue
        goal, judged = "—", "info"
        if key == "process_latency_p99_us" and bare_p99 is not None:
            bound = 1.5 * bare_p99 + 50
            goal, judged = f"≤ 1.5× the bare reader's + 50 µs ({bound:,.0f} µs)", verdict(process_p99 <= bound)
        row(figure, f"{value:,.1f} µs", goal, f"{100 * value / PACKET_WIRE_US:.2f} % of a packet", judged)

    idle = need("idle_switches")
    seconds = values.get("idle_seconds", 10)
    if idle is not None:
        row(f"Idle: context switches in {seconds:g} s, port open", f"{idle:,.0f}", "0", "—", verdict(idle == 0))
    wakeups = need("failing_wakeups_per_s")
    if wakeups is not None:
        row("Failing device: wake-ups per second", f"{wakeups:,.1f}/s", "≤ 10/s", "—", verdict(wakeups <= 10))

    rss = need("rss_kib")
    hwm = need("hwm_kib")
    if rss is not None:
        row("Resident memory of nuvik (VmRSS)", f"{rss:,.0f} KiB", "—", "—", "info")
    anon = values.get("anon_kib")
    if anon is not None:
        row("  of which anonymous (heap, stacks)", f"{anon:,.0f} KiB", "—", "—", "info")
    if hwm is not None:
        row("Peak resident memory of nuvik (VmHWM)", f"{hwm:,.0f} KiB", "—", "—", "info")
    growth = need("soak_growth_kib")
    if growth is not None:
        packets = values.get("soak_packets", 0)
        row(f"Soak: VmRSS growth over {packets:,.0f} packets once warm", f"{growth:,.0f} KiB", "< 1,024 KiB", "—",
            verdict(growth < 1024))
        for key, figure in (("soak_rss_start_kib", "  VmRSS at start"),
                            ("soak_rss_warm_kib", "  VmRSS warm (after 100,000 packets)"),
                            ("soak_rss_after_kib", "  VmRSS after the soak")):
            value = values.get(key)
            if value is not None:
                row(figure, f"{value:,.0f} KiB", "—", "—", "info")
    growth = need("typing_soak_growth_kib")
    if growth is not None:
        packets = values.get("typing_soak_packets", 0)
        row(f"Soak while typing: VmRSS growth over {packets:,.0f} packets once warm", f"{growth:,.0f} KiB",
            "< 1,024 KiB", "—", verdict(growth < 1024))
        for key, figure in (("typing_soak_rss_warm_kib", "  VmRSS warm (after 200,000 packets: the focus text at its limit)"),
                            ("typing_soak_rss_after_kib", "  VmRSS after the soak")):
            value = values.get(key)
            if value is not None:
                row(figure, f"{value:,.0f} KiB", "—", "—", "info")
    size = values.get("exe_bytes_mingw-i686")
    if size is not None:
        row("nuvik.exe, Windows i686", f"{size:,.0f} bytes", "≤ 32,768 bytes", "—", verdict(size <= 32768))
    size = values.get("exe_bytes_mingw-x64")
    if size is not None:
        row("nuvik.exe, Windows x86-64", f"{size:,.0f} bytes", "—", "—", "info")

    header = ("Figure", "Measured", "Goal", "Ratio to the limit", "Verdict")
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]

    def line(cells):
        return "| " + " | ".join(c.ljust(w) for c, w in zip(cells, widths)) + " |"

    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print(line(r))
    if missing:
        print("not measured: " + ", ".join(missing), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
