"""Helpers shared by the interop tests: running stelp-cli, decoding its .raw
dumps, computing the pixels Stelp must deliver, and writing test files
(bitmaps Pillow cannot write, FITS files with hand-set scaling cards)."""
import os
import struct
import subprocess
import tempfile
import unittest
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
from astropy.io import fits


def _cli_path():
    path = os.environ.get("STELP_CLI", "")
    if not (path and os.path.isfile(path) and os.access(path, os.X_OK)):
        raise RuntimeError(f"STELP_CLI must name the built stelp-cli binary (got {path!r})")
    return path


CLI = _cli_path()

# Layout of a .raw dump per pixel format: numpy dtype and channels (B,G,R order).
RAW_LAYOUT = {
    "gray8": ("u1", 1), "gray16": ("<u2", 1), "gray32": ("<u4", 1),
    "grayfloat": ("<f4", 1), "bgr24": ("u1", 3), "bgrfloat": ("<f4", 3),
}
FORMATS = tuple(RAW_LAYOUT)
COLOUR_FORMATS = ("bgr24", "bgrfloat")


def run_cli(*args):
    return subprocess.run([CLI, *map(str, args)], capture_output=True, text=True, timeout=30)


def grey_of(rgb):
    """Integer luminance (b + 2g + r) // 4 of an (h, w, 3) RGB array."""
    rgb = np.asarray(rgb, dtype=np.int64)
    return (rgb[..., 0] + 2 * rgb[..., 1] + rgb[..., 2]) // 4


def expected_from_rgb(rgb, fmt):
    """Pixels a bitmap holding `rgb` (top row first) must load as in `fmt`."""
    rgb = np.asarray(rgb, dtype=np.int64)
    if fmt in COLOUR_FORMATS:
        bgr = rgb[..., ::-1]
        return bgr.astype(np.uint8 if fmt == "bgr24" else np.float32)
    grey = grey_of(rgb)
    return {"gray8": grey, "gray16": grey * 256, "gray32": grey * 16777216,
            "grayfloat": grey.astype(np.float32)}[fmt]


def fits_values(raw, bzero=0.0, bscale=1.0, blank=None):
    """Values Stelp derives from raw FITS integers: the integer part of
    BZERO/BSCALE (in single precision) is added, then nulls and negatives become 0."""
    offset = int(np.float32(bzero) / np.float32(bscale))
    v = np.asarray(raw, dtype=np.int64) + offset
    if blank is not None:
        v = np.where(v == int(blank), 0, v)
    return np.where(v < 0, 0, v)


def expected_from_fits(values, fmt):
    """Normalised pixels for FITS `values` in stored order (bottom row first),
    returned top row first like a .raw dump."""
    v = np.flipud(np.asarray(values, dtype=np.int64))
    top = int(v.max()) or 1
    if fmt in ("grayfloat", "bgrfloat"):
        f = (v.astype(np.float64) * 255.0 / top).astype(np.float32)
        return np.repeat(f[..., None], 3, axis=2) if fmt == "bgrfloat" else f
    scale = {"gray8": 255, "bgr24": 255, "gray16": 65535, "gray32": 4294901760}[fmt]
    # The reader computes v * scale / max in double precision and truncates.
    q = np.trunc(v.astype(np.float64) * float(scale) / float(top)).astype(np.uint64)
    return np.repeat(q[..., None], 3, axis=2) if fmt == "bgr24" else q


def write_fits(path, raw, **cards):
    """Writes `raw` with astropy, then sets header cards without rescaling the
    data, and checks the file really holds those raw integers."""
    hdu = fits.PrimaryHDU(raw)
    for key, value in cards.items():
        hdu.header[key] = value
    hdu.writeto(path)
    with fits.open(path, do_not_scale_image_data=True) as f:
        for key, value in cards.items():
            assert f[0].header[key] == value, f"astropy dropped {key}"
        stored = f[0].data.astype(np.int64)
    return stored


def bmp_file(width, height, bpp, rows, *, top_down=False, header_size=40, compression=0,
             palette=(), masks=None, gap=0):
    """A bitmap file from packed pixel rows (top row first). Rows are padded to
    4 bytes; `masks` are the R,G,B bit fields (after a 40-byte header, inside a
    larger one); `gap` junk bytes sit between the palette and the pixels."""
    stride = (width * bpp + 31) // 32 * 4
    body = b"".join(r.ljust(stride, b"\0") for r in (rows if top_down else rows[::-1]))
    info = struct.pack("<IiiHHIIiiII", header_size, width, -height if top_down else height,
                       1, bpp, compression, len(body), 2835, 2835, len(palette), 0)
    extra = b""
    if header_size > 40:
        info += struct.pack("<4I", *(masks or (0, 0, 0)), 0)
        info = info.ljust(header_size, b"\0")
    elif masks:
        extra = struct.pack("<3I", *masks)
    pal = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    offset = 14 + header_size + len(extra) + len(pal) + gap
    head = struct.pack("<2sIHHI", b"BM", offset + len(body), 0, 0, offset)
    return head + info + extra + pal + b"\xa5" * gap + body


def pack_rgb(rgb, bpp, fourth=0x7F):
    """Rows of B,G,R (plus a `fourth` byte for 32-bit) from an (h, w, 3) array."""
    bgr = np.asarray(rgb, dtype=np.uint8)[..., ::-1]
    if bpp == 32:
        bgr = np.concatenate([bgr, np.full(bgr.shape[:2] + (1,), fourth, np.uint8)], axis=2)
    return [row.tobytes() for row in bgr]


class InteropCase(unittest.TestCase):
    """A test case with a private temporary folder and stelp-cli helpers."""

    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.tmp = Path(tmp.name)

    def cli_ok(self, *args):
        r = run_cli(*args)
        self.assertEqual(r.returncode, 0, f"stelp-cli {' '.join(map(str, args))}: {r.stderr}")
        return r

    def load_raw(self, src, fmt, width, height, frame=None):
        """Pixels of `src` (frame `frame` of a video) as stelp-cli loads them in
        `fmt`, top row first."""
        out = self.tmp / f"{Path(src).name}.{frame}.{fmt}.raw"
        self.cli_ok("convert", src, out, "--format", fmt, *(() if frame is None else ("--frame", frame)))
        dtype, channels = RAW_LAYOUT[fmt]
        data = np.frombuffer(out.read_bytes(), dtype=dtype)
        self.assertEqual(data.size, width * height * channels, f"{out.name}: raw size")
        return data.reshape((height, width, 3) if channels == 3 else (height, width))

    def load_raws(self, requests):
        """load_raw for many (src, fmt, width, height, frame) requests, run side
        by side. Each result is the pixels, or the exception loading raised for
        the caller to re-raise inside its subTest."""
        def one(request):
            try:
                return self.load_raw(*request)
            except Exception as e:  # noqa: BLE001 - handed back to the caller
                return e
        with ThreadPoolExecutor(max_workers=4) as pool:
            return list(pool.map(one, requests))

    def assertPixels(self, got, expected, what):
        self.assertEqual(got.shape, expected.shape, what)
        np.testing.assert_array_equal(got, expected, err_msg=what)
