#!/usr/bin/env python3
"""Runs the program's main job on the simulated handheld and shows it.

`nuvik` starts; its port gets a pseudo-terminal, announced in the trace; the
adapter simulator types a sentence into that terminal; once every key event
has reached the handheld, the program is closed as the task manager would
(SIGTERM) and prints what was typed into the focused window.
"""
import os
import queue
import re
import signal
import subprocess
import sys
import threading
import time


def main():
    build, sentence = sys.argv[1], sys.argv[2]
    nuvik = subprocess.Popen([os.path.join(build, "nuvik")], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True)
    lines = queue.Queue()

    def pump():
        for line in nuvik.stdout:
            print(line, end="", flush=True)
            lines.put(line.rstrip("\n"))
        lines.put(None)

    threading.Thread(target=pump, daemon=True).start()

    def next_line(timeout):
        try:
            return lines.get(timeout=timeout)
        except queue.Empty:
            return None

    path = None
    deadline = time.monotonic() + 10
    while path is None and time.monotonic() < deadline:
        line = next_line(deadline - time.monotonic())
        if line is None:
            break
        match = re.match(r'port name="COM\d:" path="([^"]+)"', line)
        if match:
            path = match.group(1)
    if path is None:
        print("demo: nuvik did not announce its port", file=sys.stderr)
        nuvik.kill()
        return 1

    adapter = subprocess.run([os.path.join(build, "nuvik-adapter"), "--text", sentence + "\n", path],
                             capture_output=True, text=True)
    sys.stderr.write(adapter.stderr)
    if adapter.returncode != 0:
        nuvik.kill()
        return 1
    sent = int(re.search(r"sent (\d+) packets", adapter.stderr).group(1))
    # Packets whose check byte comes out as 0xFF (the releases of M and N)
    # are refused by the handheld's decoder; the adapter says how many.
    refused = re.search(r"note: (\d+) packet\(s\) check to FF", adapter.stderr)
    expected = sent - (int(refused.group(1)) if refused else 0)

    # Every packet becomes one key event (a key record or the Return character).
    seen = 0
    deadline = time.monotonic() + 10
    while seen < expected and time.monotonic() < deadline:
        line = next_line(deadline - time.monotonic())
        if line is None:
            break
        if line.startswith(("SendInput ", "PostKeybdMessage ")):
            seen += 1
    nuvik.send_signal(signal.SIGTERM)
    while next_line(10) is not None:
        pass
    code = nuvik.wait(timeout=10)
    print(f"demo: {sent} packets sent, {expected} valid, {seen} key events reached the handheld; "
          f"nuvik exited with {code}")
    return 0 if seen == expected and code == 1 else 1


if __name__ == "__main__":
    sys.exit(main())
