#!/usr/bin/env python3
"""Shows the program's main job on the simulated handheld, in one screen.

`nuvik` starts and announces its infrared port's pseudo-terminal; the
adapter simulator types a sentence into it a word at a time, and after each
word the demo shows the focus window's text as the handheld's key events
spell it; the tray menu disables and enables the keyboard; the program is
closed as the task manager would (SIGTERM) and says what was typed.

Only the lines worth a newcomer's eye are shown; the full trace goes to a
file whose path is printed. The handheld's screen is filmed on the way
(`screen FILE` on the console: after each key, with the menu up, after each
tray change) into an animated PNG whose path is printed too. The demo is a
list of steps (STEPS at the end), each a function of the running Demo, so a
step is easy to add.

Usage: demo.py BUILD_DIR [SENTENCE]
"""
import os
import queue
import re
import signal
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True  # no __pycache__ left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from filmstrip import Filmstrip  # noqa: E402

TIMEOUT = 10  # seconds for anything the handheld is asked to do


class Demo:
    def __init__(self, build, sentence):
        self.build = build
        self.sentence = sentence
        self.out_dir = os.path.join(build, "demo")
        os.makedirs(self.out_dir, exist_ok=True)
        self.trace_path = os.path.join(self.out_dir, "trace.txt")
        self.trace = open(self.trace_path, "w")
        self.lines = queue.Queue()
        self.port_path = None
        self.packets_sent = 0
        self.key_events = 0   # SendInput and PostKeybdMessage lines seen so far
        self.typed = Typing()
        self.exit_code = None
        self.focus_text = None  # as nuvik's last line quotes it
        # The last picture comes from nuvik itself, once the program is gone.
        self.exit_frame = os.path.abspath(os.path.join(self.out_dir, "frames", "exit.png"))
        if os.path.exists(self.exit_frame):
            os.remove(self.exit_frame)
        self.nuvik = subprocess.Popen([os.path.join(build, "nuvik")], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, text=True, bufsize=1,
                                      env=dict(os.environ, NUVIK_SCREEN_AT_EXIT=self.exit_frame))
        threading.Thread(target=self._pump, daemon=True).start()
        # The animation: pictures of the handheld's screen, asked for on the
        # console without showing the command.
        self.film = Filmstrip(self._send, os.path.join(self.out_dir, "frames"))
        self.animation_path = os.path.join(self.out_dir, "nuvik-demo.png")

    def _pump(self):
        for line in self.nuvik.stdout:
            self.trace.write(line)
            self.lines.put(line.rstrip("\n"))
        self.trace.flush()
        self.lines.put(None)

    # ---- Reading the trace ---------------------------------------------------

    def next_line(self, deadline):
        """The next trace line (key events are counted and decoded on the
        way), or None at the end of the trace or the deadline."""
        try:
            line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
        except queue.Empty:
            return None
        before = self.typed.text
        if line is not None and self.typed.feed(line):
            self.key_events += 1
            if self.typed.text != before:
                self.film.shoot(0.15)  # the sentence appears key by key
        return line

    def wait_for(self, pattern, show=(), note=""):
        """Reads the trace up to the line matching `pattern` and returns its
        match; lines matching any of `show` on the way, and the matching
        line itself, are shown."""
        regex = re.compile(pattern)
        shown = [re.compile(p) for p in show]
        deadline = time.monotonic() + TIMEOUT
        while True:
            line = self.next_line(deadline)
            if line is None:
                fail(f"the handheld never showed /{pattern}/")
            match = regex.search(line)
            if match or any(p.search(line) for p in shown):
                say("   " + line + (f"   ({note})" if match and note else ""))
            if match:
                return match

    def wait_key_events(self, count):
        deadline = time.monotonic() + TIMEOUT
        while self.key_events < count:
            if self.next_line(deadline) is None:
                fail(f"{self.key_events} of {count} key events reached the handheld")

    # ---- Acting on the handheld ---------------------------------------------

    def console(self, command):
        """A line on nuvik's console: the stylus, or another program."""
        say(f" > {command}")
        self._send(command)

    def _send(self, line):
        self.nuvik.stdin.write(line + "\n")
        self.nuvik.stdin.flush()

    def type_text(self, text):
        """The adapter simulator types `text` at the wire's pace; returns
        once every packet it sent has become a key event on the handheld."""
        adapter = subprocess.Popen([os.path.join(self.build, "nuvik-adapter"), "--text", text, self.port_path],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        # Key events are read (and filmed) while the adapter types, so the
        # animation shows the text growing key by key.
        while adapter.poll() is None and self.nuvik.poll() is None:
            self.next_line(time.monotonic() + 0.05)
        stderr = adapter.communicate()[1]
        if adapter.returncode != 0:
            fail("nuvik-adapter: " + stderr.strip())
        sent = int(re.search(r"sent (\d+) packets", stderr).group(1))
        self.packets_sent += sent
        # The adapter never sends a packet the handheld refuses: each one
        # becomes one key event (a key record, or Return as a character).
        self.wait_key_events(self.packets_sent)


class Typing:
    """The text the handheld's key events type, read from the trace with a
    US layout: a newcomer's view of the focus window while typing goes on."""

    SHIFTED_DIGITS = ")!@#$%^&*("
    PUNCTUATION = {0x20: "  ", 0xBA: ";:", 0xBB: "=+", 0xBC: ",<", 0xBD: "-_", 0xBE: ".>", 0xBF: "/?",
                   0xC0: "`~", 0xDB: "[{", 0xDC: "\\|", 0xDD: "]}", 0xDE: "'\"", 0x09: "\t\t"}

    def __init__(self):
        self.text = ""
        self.shift = False

    def feed(self, line):
        """True when `line` is a key event."""
        key = re.match(r"SendInput vk=0x([0-9A-F]+) scan=0x[0-9A-F]+ flags=0x([0-9A-F]+)", line)
        if key:
            vk, up = int(key.group(1), 16), int(key.group(2), 16) & 2
            if vk == 0x10:
                self.shift = not up
            elif not up:
                self.press(vk)
            return True
        char = re.match(r"PostKeybdMessage key=0x[0-9A-F]+ state=0x[0-9A-F]+ char=0x([0-9A-F]+)", line)
        if char:
            self.text += chr(int(char.group(1), 16))
            return True
        return False

    def press(self, vk):
        if 0x41 <= vk <= 0x5A:
            self.text += chr(vk) if self.shift else chr(vk).lower()
        elif 0x30 <= vk <= 0x39:
            self.text += self.SHIFTED_DIGITS[vk - 0x30] if self.shift else chr(vk)
        elif vk in self.PUNCTUATION:
            self.text += self.PUNCTUATION[vk][1 if self.shift else 0]
        elif vk == 0x08:
            self.text = self.text[:-1]
        elif vk == 0x0D:
            self.text += "\r"


def say(text=""):
    print(text, flush=True)


def fail(why):
    raise SystemExit(f"demo: {why}")


def quoted(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\r", "\\r") + '"'


# ---- The steps ------------------------------------------------------------------


def start(demo):
    say("1. The handheld starts the program: it finds its infrared port, opens it, shows its tray icon")
    match = demo.wait_for(r'^port name="COM\d:" path="([^"]+)"', note="the adapter plugs in here")
    demo.port_path = match.group(1)
    demo.wait_for(r"^Shell_NotifyIcon op=NIM_ADD icon=114", show=[r"^CreateFileW ", r"^EscapeCommFunction "],
                  note="tray icon: enabled")
    demo.film.shoot(1.0)


def type_sentence(demo):
    say(f"2. nuvik-adapter types {quoted(demo.sentence)} on the infrared keyboard, a word at a time")
    words = re.findall(r"\s*\S+", demo.sentence) or [demo.sentence]
    words[-1] += "\n"  # and Return
    for word in words:
        demo.type_text(word)
        say(f"   focus window: {quoted(demo.typed.text)}")


def tray_disable_enable(demo):
    say("3. The stylus on the tray icon: Disable (the port closes), then Enable (it opens again)")
    demo.console("tap")
    demo.wait_for(r"^TrackPopupMenuEx ", note="the tray menu is up")
    demo.film.shoot(1.5)
    demo.console("choose 100")
    demo.wait_for(r"^Shell_NotifyIcon op=NIM_MODIFY icon=119", show=[r"^CloseHandle port="],
                  note="tray icon: disabled")
    demo.film.shoot(1.2)
    demo.console("tap")
    demo.wait_for(r"^TrackPopupMenuEx ")
    demo.film.shoot(1.5, poster=True)
    demo.console("choose 101")
    demo.wait_for(r"^Shell_NotifyIcon op=NIM_MODIFY icon=114", show=[r"^CreateFileW "],
                  note="tray icon: enabled")
    demo.film.shoot(2.5)


def close(demo):
    say("4. The task manager closes the program (SIGTERM)")
    if not demo.film.wait_written():
        say("   (the screen's last picture was not written in time)")
    demo.nuvik.send_signal(signal.SIGTERM)
    match = demo.wait_for(r"^focus text=(.*)$", show=[r"^Shell_NotifyIcon op=NIM_DELETE"], note="what was typed")
    demo.focus_text = match.group(1)
    deadline = time.monotonic() + TIMEOUT
    while demo.next_line(deadline) is not None:
        pass
    demo.exit_code = demo.nuvik.wait(timeout=TIMEOUT)
    demo.film.add_written(demo.exit_frame, 2.5)


STEPS = [start, type_sentence, tray_disable_enable, close]


def main():
    build = sys.argv[1]
    sentence = sys.argv[2] if len(sys.argv) > 2 else "Hello from Nuvik!"
    say("Nuvik on the simulated handheld: selected trace lines (indented) and console commands (>)")
    demo = Demo(build, sentence)
    try:
        for step in STEPS:
            step(demo)
    except SystemExit:
        demo.nuvik.kill()
        say(f"Full trace: {demo.trace_path}")
        raise
    expected = sentence + "\r"
    ok = demo.typed.text == expected and demo.focus_text == quoted(expected) and demo.exit_code == 1
    accepted = "every packet accepted" if demo.key_events == demo.packets_sent else "some packets lost"
    say(f"Summary: {demo.packets_sent} packets sent, {demo.key_events} key events reached the handheld "
        f"({accepted});")
    say(f"         the focus window holds {'the sentence' if ok else quoted(demo.typed.text)}; "
        f"nuvik exited with {demo.exit_code} (its normal exit).")
    say(f"Full trace ({sum(1 for _ in open(demo.trace_path))} lines): {demo.trace_path}")
    animation = demo.film.assemble(demo.animation_path)
    if animation:
        say(f"Animation of the screen ({len(demo.film.frames)} frames): {animation}")
    else:
        ok = False
        say("No animation: the screen's pictures could not be put together")
    return 0 if ok and demo.key_events == demo.packets_sent else 1


if __name__ == "__main__":
    sys.exit(main())
