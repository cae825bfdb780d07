#!/usr/bin/python3
"""Boots a ReactOS live CD in QEMU with the test's CD beside it, brings the guest to its desktop,
starts the test there (Win+R, d:\\run.cmd, which copies it to a work disk, C:) and reads the
test's lines from the guest's debug output, which the live CD's default boot entry sends to COM1.
Takes a picture of the screen for each picture line (the title bar, cropped) and for each failing
step (the whole screen), as PNG. Prints one line per step and the count; exits 0 when every step
passed, 1 when one failed, 2 when the run stopped short, naming the stage. QEMU is ended on every
path.
    scripts/reactos-guest.py LIVE_ISO TEST_ISO OUTDIR [SECONDS]"""
import os
import signal
import socket
import struct
import subprocess
import sys
import time
import zlib

PREFIX = "vemo-check: "


class Monitor:
    """QEMU's human monitor on a Unix socket."""

    def __init__(self, path, deadline):
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError:
                if time.time() > deadline:
                    raise
                time.sleep(0.2)
        self.read()

    def read(self):
        data = b""
        while not data.endswith(b"(qemu) "):
            chunk = self.sock.recv(4096)
            if not chunk:
                break
            data += chunk
        return data

    def do(self, command):
        self.sock.sendall(command.encode() + b"\n")
        self.read()

    def keys(self, *names, pause=0.15):
        for name in names:
            self.do("sendkey " + name)
            time.sleep(pause)

    def type(self, text):
        names = {"\\": "backslash", ":": "shift-semicolon", ".": "dot", " ": "spc", "-": "minus",
                 "\n": "ret", "%": "shift-5", "&": "shift-7", ">": "shift-dot", "_": "shift-minus"}
        self.keys(*(names.get(c, "shift-" + c.lower() if c.isupper() else c) for c in text),
                  pause=0.08)

    def screen(self, path):
        """The screen as (width, height, RGB bytes), also written to `path` as PPM."""
        if os.path.exists(path):
            os.remove(path)
        self.do("screendump " + path)
        for _ in range(50):
            if os.path.exists(path) and os.path.getsize(path) > 0:
                break
            time.sleep(0.1)
        with open(path, "rb") as f:
            data = f.read()
        fields = data.split(maxsplit=4)
        width, height = int(fields[1]), int(fields[2])
        return width, height, fields[4][-width * height * 3:]


def png(path, width, height, rgb, box=None):
    """Writes the RGB image, or its part inside box (left, top, right, bottom), as a PNG."""
    left, top, right, bottom = box or (0, 0, width, height)
    left, top = max(0, left), max(0, top)
    right, bottom = min(width, right), min(height, bottom)
    rows = b"".join(b"\0" + rgb[(y * width + left) * 3:(y * width + right) * 3]
                    for y in range(top, bottom))

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", right - left, bottom - top, 8, 2, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
                + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def make_work_disk(path):
    """A 64 MiB disk with one FAT16 partition: the live CD has nothing the test can write to."""
    size, start = 64 << 20, 2048
    with open(path, "wb") as f:
        f.truncate(size)
        f.seek(446)
        f.write(struct.pack("<B3sB3sII", 0, b"\xfe\xff\xff", 0x06, b"\xfe\xff\xff", start,
                            size // 512 - start) + bytes(48) + b"\x55\xaa")
    subprocess.run(["mkfs.fat", "-F", "16", f"--offset={start}", "-h", str(start), "-n", "VEMOWORK",
                    path], check=True, stdout=subprocess.DEVNULL)


def lines(serial, seen):
    """The test's lines that have reached the serial log since the last call."""
    try:
        with open(serial, "rb") as f:
            text = f.read().decode("utf-8", "replace")
    except OSError:
        return []
    found = [l[l.index(PREFIX) + len(PREFIX):].strip() for l in text.splitlines()
             if PREFIX in l]
    new, seen[0] = found[seen[0]:], len(found)
    return new


def main():
    live, test, out = sys.argv[1:4]
    seconds = int(sys.argv[4]) if len(sys.argv) > 4 else 330
    sock, serial, ppm, disk = (os.path.join(out, n)
                               for n in ("monitor.sock", "serial.log", "screen.ppm", "work.img"))
    for path in (sock, serial):
        if os.path.exists(path):
            os.remove(path)
    make_work_disk(disk)
    # /dev/kvm here is a nested KVM that cannot run 32-bit paging: software emulation only. The
    # live CD boots (strict: not the test's CD first), the work disk is C: and the test's CD D:.
    qemu = subprocess.Popen(
        ["qemu-system-i386", "-accel", "tcg", "-m", "1024", "-vga", "std", "-display", "none",
         "-no-reboot", "-boot", "strict=on",
         "-drive", f"file={disk},format=raw,if=none,id=work",
         "-device", "ide-hd,drive=work,bus=ide.0,unit=0",
         "-drive", f"file={test},if=none,id=test,media=cdrom,readonly=on",
         "-device", "ide-cd,drive=test,bus=ide.0,unit=1",
         "-drive", f"file={live},if=none,id=live,media=cdrom,readonly=on",
         "-device", "ide-cd,drive=live,bus=ide.1,unit=0,bootindex=0",
         "-monitor", f"unix:{sock},server,nowait", "-serial", f"file:{serial}"],
        stdin=subprocess.DEVNULL)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    start = time.time()
    deadline = start + seconds
    stage = "QEMU's monitor"
    passed = failed = skipped = 0
    try:
        mon = Monitor(sock, deadline)
        stage = "the desktop"
        desktop(mon, ppm, deadline)
        print(f"desktop after {time.time() - start:.0f} s", flush=True)
        stage = "the start of the test (Win+R, d:\\run.cmd)"
        seen, started, done = [0], False, False
        while time.time() < deadline and not done:
            if not started:
                mon.keys("meta_l-r")
                time.sleep(3)
                mon.type("d:\\run.cmd\n")
            until = time.time() + (40 if not started else 5)
            while time.time() < until and not done:
                if qemu.poll() is not None:
                    raise ValueError("QEMU ended")
                for line in lines(serial, seen):
                    if line == "start":
                        started, stage = True, "the end of the test"
                    elif line.startswith("done"):
                        done = True
                    elif line.startswith("picture "):
                        name, *box = line.split()[1:]
                        l, t, r, _ = map(int, box)
                        png(os.path.join(out, name + ".png"), *mon.screen(ppm), (l, t, r, t + 60))
                    elif line.startswith("skip "):
                        print(line, flush=True)
                        skipped += 1
                    elif line.startswith(("ok ", "FAIL ")):
                        print(line, flush=True)
                        if line.startswith("ok "):
                            passed += 1
                        else:
                            failed += 1
                            step = line.split()[2]
                            png(os.path.join(out, f"step{step}-screen.png"), *mon.screen(ppm))
                time.sleep(0.25)
        if not done:
            raise ValueError(f"{time.time() - start:.0f} s after QEMU started")
        print(f"{passed} passed, {failed} failed, {skipped} skipped"
              f" ({time.time() - start:.0f} s in QEMU)")
        return 1 if failed or not passed else 0
    except KeyboardInterrupt:
        print(f"interrupted before {stage}")
        return 130
    except (OSError, ValueError) as e:
        print(f"stopped before {stage}: {e}")
        try:
            png(os.path.join(out, "stopped-screen.png"), *mon.screen(ppm))
        except (OSError, ValueError, NameError):
            pass
        return 2
    finally:
        qemu.kill()
        qemu.wait()
        for path in (sock, ppm, disk):
            if os.path.exists(path):
                os.remove(path)


def desktop(mon, ppm, deadline):
    """Answers the boot prompts and the live CD's two dialogs (language: Next; then Run ReactOS
    Live CD) until the taskbar shows. The pixels are those of the default theme at 800x600."""
    answered = {}
    while time.time() < deadline:
        time.sleep(1)
        width, _, rgb = mon.screen(ppm)
        # Text mode: the CD's boot sector, which waits for a key because the work disk holds a
        # partition table, then FreeLdr's menu, where Enter takes the default entry.
        if width == 720:
            mon.keys("ret")
            continue

        def at(x, y):
            return tuple(rgb[(y * width + x) * 3:(y * width + x) * 3 + 3])

        grey = (212, 208, 200)
        if sum(at(x, 590) == grey for x in range(0, 800, 10)) > 40:
            return
        dialog = at(200, 141) == (22, 49, 117)  # the "ReactOS LiveCD" dialog's caption
        # Its language page has a white list box where the next page has a grey button.
        page = None if not dialog else "language" if at(450, 374) == (255, 255, 255) else "choice"
        if page and time.time() - answered.get(page, 0) > 10:
            time.sleep(1)
            mon.keys("ret" if page == "language" else "alt-l")
            answered[page] = time.time()
    raise ValueError("no taskbar before the time ran out")


if __name__ == "__main__":
    sys.exit(main())
