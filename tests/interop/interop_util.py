"""Helpers shared by the interop tests: running stelp-cli and the peer tools, the pixels Stelp must load from a peer's
file, and bitmaps built by hand."""
import json
import os
import re
import struct
import subprocess
import tempfile
import unittest
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
from numpy.testing import assert_array_equal
from PIL import Image

CLI = os.environ.get("STELP_CLI", "")
if not (os.path.isfile(CLI) and os.access(CLI, os.X_OK)):
    raise RuntimeError(f"STELP_CLI must name the built stelp-cli binary (got {CLI!r})")
FORMATS = ("gray8", "bgr24", "bgrfloat")  # loads are checked in a grey, a colour and a float format


def run_cli(*args, timeout=30):
    return subprocess.run([CLI, *map(str, args)], capture_output=True, text=True, timeout=timeout)


def cli_ok(*args, timeout=30):
    r = run_cli(*args, timeout=timeout)
    if r.returncode:
        raise AssertionError(f"stelp-cli {' '.join(map(str, args))}: {r.stderr}")
    return r


def convert_raw(src, out, fmt, *args):
    """The values `src` loads as in `fmt` (flat, top row first, channels B, G, R), through a .raw dump at `out`;
    stelp-cli's error text when it fails."""
    r = run_cli("convert", src, out, "--format", fmt, *args)
    return r.stderr if r.returncode else np.fromfile(out, "<f4" if fmt.endswith("float") else "u1")


def tool(*args, timeout=120, check=True):
    """Runs a peer tool with stdin on /dev/null; returns its stdout bytes."""
    r = subprocess.run(list(map(str, args)), stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
    if check and r.returncode:
        raise AssertionError(f"{' '.join(map(str, args))}: {r.stderr.decode(errors='replace')}")
    return r.stdout


def ffmpeg(*args, timeout=120):
    return tool("ffmpeg", "-nostdin", "-hide_banner", "-v", "error", "-y", *args, timeout=timeout)


def ffprobe(path, timeout=120):
    """(codec, pixel format, frame rate, frames decoded and counted) of the one video stream."""
    out = tool("ffprobe", "-v", "error", "-count_frames", "-select_streams", "v", "-show_entries",
               "stream=codec_name,pix_fmt,r_frame_rate,nb_read_frames", "-of", "json", path, timeout=timeout)
    (stream,) = json.loads(out)["streams"]
    return tuple(stream[k] for k in ("codec_name", "pix_fmt", "r_frame_rate", "nb_read_frames"))


def ffmpeg_frames(path, width, height):
    """Every video frame as ffmpeg decodes it to bgr24 (none dropped or repeated), (frames, height, width, 3)."""
    data = ffmpeg("-i", path, "-map", "0:v:0", "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "bgr24", "-")
    return np.frombuffer(data, np.uint8).reshape(-1, height, width, 3)


def pillow_read(path):
    """Pillow's mode and RGB pixels for an image file."""
    with Image.open(path) as im:
        return im.mode, np.asarray(im.convert("RGB"))


def grey_of(bgr):
    """Integer luminance (b + 2g + r) // 4 (the same for RGB order)."""
    bgr = np.asarray(bgr, np.int64)
    return (bgr[..., 0] + 2 * bgr[..., 1] + bgr[..., 2]) // 4


def expected(bgr, fmt):
    """The pixels an image holding `bgr` (h, w, 3) must load as in `fmt`."""
    bgr = np.asarray(bgr, np.int64)
    return grey_of(bgr) if fmt == "gray8" else bgr.astype(np.float32 if fmt == "bgrfloat" else np.uint8)


def bmp_file(width, height, bpp, rows, *, top_down=False, header_size=40, compression=0, palette=(), masks=None, gap=0):
    """A bitmap from packed pixel rows (top row first), padded to 4 bytes; `masks` (R, G, B) follow a 40-byte header or
    sit inside a larger one; `gap` junk bytes lie between the palette and the pixels."""
    stride = (width * bpp + 31) // 32 * 4
    body = b"".join(r.ljust(stride, b"\0") for r in (rows if top_down else rows[::-1]))
    info = struct.pack("<IiiHHIIiiII", header_size, width, -height if top_down else height,
                       1, bpp, compression, len(body), 2835, 2835, len(palette), 0)
    extra = struct.pack("<3I", *masks) if masks and header_size == 40 else b""
    if header_size > 40:
        info = (info + struct.pack("<4I", *(masks or (0, 0, 0)), 0)).ljust(header_size, b"\0")
    pal = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    offset = 14 + header_size + len(extra) + len(pal) + gap
    return struct.pack("<2sIHHI", b"BM", offset + len(body), 0, 0, offset) + info + extra + pal + b"\xa5" * gap + body


class InteropCase(unittest.TestCase):
    """A private temporary folder per test (self.tmp) and per class (cls.shared)."""

    @classmethod
    def setUpClass(cls):
        cls.shared = Path(cls.enterClassContext(tempfile.TemporaryDirectory()))

    def setUp(self):
        self.tmp = Path(self.enterContext(tempfile.TemporaryDirectory()))

    def assertInfo(self, path, line, note=None, *args):
        """`info` prints `line`, then, where `note` is given (a FITS file), a second line that holds `note`."""
        r = cli_ok("info", path, *args)
        self.assertEqual((r.stdout.split("\n")[0], r.stderr), (line, ""), path)
        self.assertEqual(r.stdout.count("\n"), 1 if note is None else 2, r.stdout)
        self.assertIn(note or "", r.stdout.split("\n")[1])

    def assertFails(self, args, pattern, status=1):
        """stelp-cli exits `status`, prints nothing on stdout and writes nothing under self.tmp; stderr is one line
        matching `pattern` (for usage errors, the first line: usage follows)."""
        before = sorted(self.tmp.rglob("*"))
        r = run_cli(*args)
        self.assertEqual((r.returncode, r.stdout), (status, ""), r.stderr)
        self.assertRegex(r.stderr, re.compile(rf"\A{pattern}\n" + (r"\Z" if status == 1 else "")))
        self.assertEqual(sorted(self.tmp.rglob("*")), before, "a failed run left files behind")

    def assertFitsverifyClean(self, path):
        out = tool("fitsverify", path, timeout=30, check=False).decode()
        self.assertIn("Verification found 0 warning(s) and 0 error(s).", out)

    def assertLoads(self, cases, *args):
        """Each (file, frame or None, format, pixels top row first) loads to exactly those pixels, `args` added to each
        convert; four loads run at a time."""
        def load(case):
            src, frame, fmt, _ = case
            return convert_raw(src, self.tmp / f"{Path(src).name}.{frame}.{fmt}.raw", fmt, *args,
                               *(() if frame is None else ("--frame", frame)))
        with ThreadPoolExecutor(max_workers=4) as pool:
            loaded = list(pool.map(load, cases))
        for (src, frame, fmt, want), got in zip(cases, loaded):
            with self.subTest(file=Path(src).name, frame=frame, fmt=fmt, args=args):
                self.assertIsInstance(got, np.ndarray, got)
                assert_array_equal(got, np.ravel(want))


class DemoCase(InteropCase):
    """The demo night written once per class: cls.night, its project cls.project."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.night = cls.shared / "night"
        cli_ok("demo", cls.night)
        cls.project = cls.night / "demo.sjx"
