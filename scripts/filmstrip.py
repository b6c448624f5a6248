#!/usr/bin/env python3
"""The simulated handheld's screen as an animation.

A Filmstrip asks a running `nuvik` for pictures of its screen through the
console (`screen FILE`), one frame at a time, each with how long it stays on
screen, then puts the frames together into an animated PNG with apngasm
(Debian package apngasm).

    film = Filmstrip(write_console_line, "build/host-release/demo/frames")
    film.shoot(1.0)            # a frame that stays for a second
    film.shoot(1.5, poster=True)  # ...and is also the still picture
    ...
    film.wait_written()        # before nuvik is closed
    path = film.assemble("build/host-release/demo/nuvik-demo.png")

Run as a script it assembles frames already staged: filmstrip.py OUT DIR,
where DIR holds frame001.png onwards (and frame000.png, the still picture),
with delays in frameNNN.txt ("delay=15/100") as apngasm reads them.
"""
import glob
import os
import shutil
import subprocess
import sys
import time

PNG_END = b"\x00\x00\x00\x00IEND\xaeB`\x82"  # the last chunk of every PNG


class Filmstrip:
    def __init__(self, send_line, directory):
        """send_line(text) writes one line on nuvik's console."""
        self.send_line = send_line
        self.directory = directory
        self.frames = []  # (path, seconds shown)
        self.poster = None  # the frame a viewer that does not animate shows
        os.makedirs(directory, exist_ok=True)
        for old in glob.glob(os.path.join(directory, "frame*")):
            os.remove(old)

    def shoot(self, seconds, poster=False):
        """Asks for a picture of the screen as it is when the console reads
        the line; it stays `seconds` in the animation. The poster (the first
        frame shot with poster=True, else the first frame) is what a viewer
        that does not animate PNG shows."""
        path = os.path.abspath(os.path.join(self.directory, f"frame{len(self.frames) + 1:03d}.png"))
        self.frames.append((path, seconds))
        if poster and self.poster is None:
            self.poster = path
        self.send_line(f"screen {path}")

    def add_written(self, path, seconds):
        """Adds a picture written some other way (nuvik's picture at exit)."""
        self.frames.append((os.path.abspath(path), seconds))

    def wait_written(self, timeout=10):
        """Waits until the console has written the last frame asked for
        (it answers lines in order, so the others are written too). Call it
        before closing nuvik: a line it has not read yet is lost."""
        if not self.frames:
            return True
        last = self.frames[-1][0]
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if complete_png(last):
                return True
            time.sleep(0.02)
        return False

    def assemble(self, output):
        """Writes the animated PNG from the frames that were written and
        returns its path; None when there are none or apngasm fails."""
        shot = [(path, seconds) for path, seconds in self.frames if complete_png(path)]
        if len(shot) < len(self.frames):
            print(f"filmstrip: {len(self.frames) - len(shot)} frame(s) were not written", file=sys.stderr)
        # apngasm takes a numbered run of files, frame000.png (the still
        # picture, with -f) or frame001.png onwards, each with its delay in
        # the .txt file beside it.
        staging = os.path.join(self.directory, "apng")
        shutil.rmtree(staging, ignore_errors=True)
        os.makedirs(staging)
        for number, (path, seconds) in enumerate(shot, 1):
            shutil.copyfile(path, os.path.join(staging, f"frame{number:03d}.png"))
            with open(os.path.join(staging, f"frame{number:03d}.txt"), "w") as delay:
                delay.write(f"delay={round(seconds * 100)}/100\n")
        poster = self.poster if self.poster and complete_png(self.poster) else None
        if poster:
            shutil.copyfile(poster, os.path.join(staging, "frame000.png"))
        return run_apngasm(output, staging) if shot else None


def complete_png(path):
    try:
        with open(path, "rb") as picture:
            picture.seek(0, os.SEEK_END)
            if picture.tell() < len(PNG_END):
                return False
            picture.seek(-len(PNG_END), os.SEEK_END)
            return picture.read() == PNG_END
    except OSError:
        return False


def run_apngasm(output, staging):
    """Assembles staging/frame000.png (a still picture, if there) or
    frame001.png and the frames numbered after it."""
    if shutil.which("apngasm") is None:
        print("filmstrip: apngasm is not installed (scripts/install-deps.sh host installs it)", file=sys.stderr)
        return None
    os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
    poster = os.path.join(staging, "frame000.png")
    first = [poster, "-f"] if os.path.exists(poster) else [os.path.join(staging, "frame001.png")]
    result = subprocess.run(["apngasm", os.path.abspath(output), *first], capture_output=True, text=True)
    if result.returncode != 0 or not complete_png(output):
        print("filmstrip: apngasm failed:\n" + result.stdout + result.stderr, file=sys.stderr)
        return None
    return output


def main():
    if len(sys.argv) != 3:
        print("usage: filmstrip.py OUT DIR", file=sys.stderr)
        return 2
    path = run_apngasm(sys.argv[1], sys.argv[2])
    if path is None:
        return 1
    print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
