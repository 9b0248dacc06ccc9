#!/usr/bin/env python3
"""The Windows program's progress window under Wine in Xvfb, driven as a player meets it.

A patch tree is served from loopback with one large file sent slowly. The real program updates an
installation against it while the test takes screenshots of the X display: the splash bitmap must sit
at the centred position and the lower bar's fill must grow between two shots. Then a click in the hot
spot (through xdotool, as a real mouse click) and, in a second run, a WM_CLOSE posted to the window
must each stop the session, and the program must still hand off to the game launcher and exit with 0.
Two files the walk meets after the large one are in flight when the stop comes, one whole and waiting
for its turn, one stalled in its body: the stop ends both at once (a stalled read must not hold the
program until the receive time-out), neither is put in place and no temporary stays.

Run by ctest inside scripts/test's Wine session (DISPLAY, WINEPREFIX set). The screenshots are kept in
the artifacts folder. Exit status 0 passed, 1 failed, 77 skipped (no display).
"""

import argparse
import gzip
import http.server
import os
import random
import shutil
import struct
import subprocess
import sys
import threading
import time
import zlib

SPLASH_WIDTH, SPLASH_HEIGHT = 300, 234
WINDOW_TITLE = "Scanning for Updates..."
SLOW_FILE = "data/big.pak"
SLOW_CHUNK = 16384
SLOW_PAUSE = 0.1  # about 160 KiB/s: the big file takes some ten seconds
# Missing from the installation and downloaded ahead of the walk while the big file arrives: the first
# whole, the second's body held after a few bytes until the test ends.
WHOLE_FILE = "data/part1/file_007.dat"
STALLED_FILE = "data/part2/file_005.dat"
WHEN = 1100000000

failures = []


def check(condition, text):
    print(("ok     " if condition else "FAILED ") + text, flush=True)
    if not condition:
        failures.append(text)
    return condition


def wait_for(predicate, seconds, step=0.05):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


# ---- The patch tree ------------------------------------------------------------------------------

def manifest_time(seconds):
    return time.strftime("%Y:%m:%d:%H:%M:%S", time.localtime(seconds))


def signed_crc(data):
    value = zlib.crc32(data)
    return value - (1 << 32) if value >= 1 << 31 else value


def game_files():
    files = {}
    for i in range(30):
        files["data/part%d/file_%03d.dat" % (i % 3, i)] = ("content of file %d\n" % i).encode() * (i + 1)
    generator = random.Random(20041117)
    files[SLOW_FILE] = bytes(generator.getrandbits(8) for _ in range(1600000))
    return files


def write_tree(root, files):
    """Files gzip-compressed at their paths under root, the manifest at patch/wendrel/wendrelonly.xml.gz."""
    tree = {}
    for path, content in files.items():
        packed = gzip.compress(content, 6, mtime=0)
        target = os.path.join(root, path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as out:
            out.write(packed)
        folder, name = os.path.split(path)
        node = tree
        for part in folder.split("/") if folder else []:
            node = node.setdefault(part, {})
        node.setdefault("", []).append(
            '<File Name="%s" TotalSize="%d" DownloadSize="%d" CRC="%d" TimeStamp="%s" Compressed="true"/>'
            % (name, len(content), len(packed), signed_crc(content), manifest_time(WHEN)))

    def elements(node):
        out = "".join(node.get("", []))
        for name in sorted(key for key in node if key):
            out += '<Directory Name="%s">%s</Directory>' % (name, elements(node[name]))
        return out

    document = ('<?xml version="1.0"?><KorvelPatcher Version="1"><Product Name="Wendrel" Version="1">'
                '<Distribution Name="Wendrel Distribution">%s</Distribution></Product></KorvelPatcher>'
                % elements(tree))
    manifest = os.path.join(root, "patch", "wendrel", "wendrelonly.xml.gz")
    os.makedirs(os.path.dirname(manifest), exist_ok=True)
    with open(manifest, "wb") as out:
        out.write(gzip.compress(document.encode(), 6, mtime=0))
    return os.path.getsize(os.path.join(root, SLOW_FILE))


class TreeServer:
    """Serves the tree on 127.0.0.1; the slow file goes out a chunk at a time and counts what it sent."""

    def __init__(self, root):
        self.root = root
        self.slow_sent = 0
        self.requests = []
        self.release = threading.Event()
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                path = self.path.split("?")[0]
                server.requests.append(path)
                local = os.path.join(server.root, path.lstrip("/"))
                if not os.path.isfile(local):
                    self.send_error(404)
                    return
                with open(local, "rb") as source:
                    body = source.read()
                self.send_response(200)
                self.send_header("Content-Type", "application/octet-stream")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                try:
                    if path.lstrip("/") == STALLED_FILE:
                        self.wfile.write(body[:10])
                        self.wfile.flush()
                        server.release.wait(120)
                        self.wfile.write(body[10:])
                        return
                    if path.lstrip("/") != SLOW_FILE:
                        self.wfile.write(body)
                        return
                    for start in range(0, len(body), SLOW_CHUNK):
                        self.wfile.write(body[start:start + SLOW_CHUNK])
                        self.wfile.flush()
                        server.slow_sent = start + len(body[start:start + SLOW_CHUNK])
                        time.sleep(SLOW_PAUSE)
                except (BrokenPipeError, ConnectionResetError):
                    pass

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.port = self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def close(self):
        self.release.set()
        self.httpd.shutdown()
        self.httpd.server_close()


# ---- The display --------------------------------------------------------------------------------

class Shot:
    """A screenshot of the whole X display, kept as PNG, read as RGB bytes."""

    def __init__(self, path):
        xwd = subprocess.run(["xwd", "-root", "-silent"], check=True, capture_output=True).stdout
        subprocess.run(["convert", "xwd:-", path], input=xwd, check=True)
        size = subprocess.run(["convert", path, "-format", "%w %h", "info:"], check=True, capture_output=True,
                              text=True).stdout.split()
        self.width, self.height = int(size[0]), int(size[1])
        self.rgb = subprocess.run(["convert", path, "-depth", "8", "rgb:-"], check=True, capture_output=True).stdout

    def pixel(self, x, y):
        at = (y * self.width + x) * 3
        return tuple(self.rgb[at:at + 3])


def close(colour, expected, tolerance=12):
    return all(abs(a - b) <= tolerance for a, b in zip(colour, expected))


def splash_pixels(path):
    """The 24-bit BMP's pixels as rows of (r, g, b), top row first."""
    with open(path, "rb") as source:
        data = source.read()
    offset, = struct.unpack_from("<I", data, 10)
    width, height = struct.unpack_from("<ii", data, 18)
    stride = (width * 3 + 3) // 4 * 4
    rows = []
    for y in range(abs(height)):
        row = (abs(height) - 1 - y) if height > 0 else y
        start = offset + row * stride
        rows.append([(data[start + x * 3 + 2], data[start + x * 3 + 1], data[start + x * 3]) for x in range(width)])
    return rows


def find_window():
    result = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^" + WINDOW_TITLE.replace(".", r"\.") + "$"],
                            capture_output=True, text=True)
    ids = result.stdout.split()
    return ids[0] if ids else None


def window_geometry(window):
    out = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window], capture_output=True, text=True).stdout
    values = dict(line.split("=", 1) for line in out.split() if "=" in line)
    return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])


def bar_fill(shot, client_x, client_y):
    """Filled pixels along the middle of the lower bar (client (12, B - 22), width W - 22): those that
    differ from the bar's still empty right end. Wine's themed progress bar draws its own colours
    (blue on white) rather than the ones the window sets, so the colours themselves are not probed."""
    client_width, client_bottom = SPLASH_WIDTH - 2, SPLASH_HEIGHT - 2
    y = client_y + client_bottom - 22 + 5
    left, right = client_x + 12 + 2, client_x + 12 + client_width - 22 - 3
    empty = shot.pixel(right, y)
    return sum(1 for x in range(left, right) if not close(shot.pixel(x, y), empty, 60))


# ---- One run of the program ------------------------------------------------------------------------

def prepare_installation(folder, files, witness):
    if os.path.exists(folder):
        shutil.rmtree(folder)
    for path, content in files.items():
        if path in (SLOW_FILE, WHOLE_FILE, STALLED_FILE):
            continue
        target = os.path.join(folder, path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as out:
            out.write(content)
        os.utime(target, (WHEN, WHEN))
    shutil.copy(witness, os.path.join(folder, "Wendrel.exe"))


def run(args, name, stop_by, files, server, slow_size, pixels):
    print("== %s" % name, flush=True)
    install = os.path.join(args.work, name)
    prepare_installation(install, files, args.witness)
    server.slow_sent = 0
    environment = dict(os.environ, KORVEL_PATCH_SERVER="127.0.0.1:%d" % server.port, KORVEL_MESSAGE_BOXES="stderr")
    program = subprocess.Popen([args.loader, args.program], cwd=install, env=environment,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        window = wait_for(find_window, 60)
        if not check(window is not None, "%s: the progress window appears" % name):
            return
        x, y, width, height = window_geometry(window)
        if not check(wait_for(lambda: server.slow_sent >= slow_size // 5, 60),
                     "%s: the big file's download is under way" % name):
            return
        first = Shot(os.path.join(args.artifacts, name + "-1.png"))
        check(wait_for(lambda: server.slow_sent >= slow_size // 2, 60), "%s: half the big file is sent" % name)
        check(all("/" + path in server.requests for path in (WHOLE_FILE, STALLED_FILE)),
              "%s: the files after the big one are in flight" % name)
        second = Shot(os.path.join(args.artifacts, name + "-2.png"))

        # Centred on the work area (the whole screen here, without a window manager).
        expected = (first.width // 2 - SPLASH_WIDTH // 2, first.height // 2 - SPLASH_HEIGHT // 2)
        check((x, y) == expected and (width, height) == (SPLASH_WIDTH, SPLASH_HEIGHT),
              "%s: window at %s size %dx%d, expected %s size %dx%d"
              % (name, (x, y), width, height, expected, SPLASH_WIDTH, SPLASH_HEIGHT))
        # The client area starts inside the one-pixel border; the bitmap is drawn at its origin.
        client_x, client_y = x + 1, y + 1
        probes = [(20, 20), (150, 40), (260, 100), (40, 150), (200, 160)]
        matched = [(bx, by) for bx, by in probes if close(first.pixel(client_x + bx, client_y + by), pixels[by][bx])]
        check(len(matched) == len(probes), "%s: splash bitmap pixels at the centred position (%d of %d match)"
              % (name, len(matched), len(probes)))
        fills = bar_fill(first, client_x, client_y), bar_fill(second, client_x, client_y)
        check(0 < fills[0] < fills[1], "%s: the lower bar's fill grows between the shots (%d, then %d pixels)"
              % (name, fills[0], fills[1]))

        # The close box: the session stops, the file is not finished, the program hands off.
        if stop_by == "click":
            # The hot spot: client right - 23 .. right - 5, 3 .. 21.
            hot = (client_x + (SPLASH_WIDTH - 2) - 14, client_y + 12)
            subprocess.run(["xdotool", "mousemove", str(hot[0]), str(hot[1]), "click", "1"], check=True)
        else:
            subprocess.run([args.loader, args.closer], env=environment, check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        # The hand-off waits 4 s; a transfer that only its receive time-out (60 s) ends would hold the
        # program past this bound.
        try:
            status = program.wait(30)
        except subprocess.TimeoutExpired:
            status = None
        check(status == 0, "%s: the program exits with 0 within 30 s of the stop (got %s)" % (name, status))
        check(server.slow_sent < slow_size, "%s: the big file was not sent to its end (%d of %d bytes)"
              % (name, server.slow_sent, slow_size))
        target = os.path.join(install, SLOW_FILE)
        check(not os.path.exists(target) or open(target, "rb").read() == files[SLOW_FILE],
              "%s: the big file is absent or whole" % name)
        for path in (WHOLE_FILE, STALLED_FILE):
            check(not os.path.exists(os.path.join(install, path)),
                  "%s: %s, fetched ahead of its turn, is not put in place" % (name, path))
        leftovers = [entry for folder in ("data", "data/part0", "data/part1", "data/part2")
                     for entry in os.listdir(os.path.join(install, folder)) if entry.endswith(".tmp")]
        check(not leftovers, "%s: no half-written download is left (%s)" % (name, leftovers))
        check(os.path.exists(os.path.join(install, "handoff.txt")), "%s: the game launcher was started" % name)
        check(wait_for(lambda: find_window() is None, 10), "%s: the window is gone" % name)
    finally:
        if program.poll() is None:
            program.kill()
            program.wait()
        output = program.stdout.read().decode(errors="replace")
        if failures and output:
            print(output)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--witness", required=True)
    parser.add_argument("--closer", required=True)
    parser.add_argument("--splash", required=True)
    parser.add_argument("--artifacts", required=True)
    parser.add_argument("--loader-file", default="")
    args = parser.parse_args()
    if not os.environ.get("DISPLAY"):
        print("no X display: the window test runs inside scripts/test's Xvfb session")
        return 77
    for tool in ("xdotool", "xwd", "convert"):
        if not shutil.which(tool):
            print("missing tool: %s (scripts/setup installs it)" % tool)
            return 1
    args.loader = "wine"
    if args.loader_file and os.path.exists(args.loader_file):
        with open(args.loader_file) as source:
            args.loader = source.read().strip() or "wine"
    os.makedirs(args.artifacts, exist_ok=True)
    args.work = os.path.join(args.artifacts, "work")
    root = os.path.join(args.work, "served")
    if os.path.exists(root):
        shutil.rmtree(root)
    files = game_files()
    slow_size = write_tree(root, files)
    pixels = splash_pixels(args.splash)
    server = TreeServer(root)
    try:
        run(args, "hot-spot", "click", files, server, slow_size, pixels)
        run(args, "wm-close", "close", files, server, slow_size, pixels)
    finally:
        server.close()
    print("screenshots in %s" % args.artifacts)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
