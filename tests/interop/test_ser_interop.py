"""SER videos read by stelp-cli frame by frame give the values ffmpeg's SER
demuxer gives: the same layout, frame order and channel order, in every
colour id Stelp reads and in both byte orders of 16-bit data. The SER videos
`stelp-cli process` writes read back in ffmpeg with their size, frame count
and pixels, and keep their sources' time stamps."""
import struct

import numpy as np
from numpy.testing import assert_array_equal

from interop_util import InteropCase, cli_ok, convert_raw, ffmpeg, tool
from ser_file import BAYER_GRBG, BAYER_RGGB, BGR, HEADER_SIZE, MONO, RGB, planes, ser_file

W, H, N = 7, 5, 3  # an odd width, so that a row stride mistake shows
# (colour id, depth, big-endian 16-bit data)
CASES = [(MONO, 8, False), (MONO, 16, False), (MONO, 12, True), (BAYER_RGGB, 8, False), (BAYER_GRBG, 16, False),
         (RGB, 8, False), (BGR, 8, False), (RGB, 16, True), (BGR, 10, False)]


def pix_fmt_of(path):
    return tool("ffprobe", "-v", "error", "-f", "ser", "-show_entries", "stream=pix_fmt", "-of", "csv=p=0",
                path).decode().strip()


def ffmpeg_values(path, pix_fmt, depth, big_endian, frames=N):
    """Every frame as ffmpeg's SER demuxer hands it over, (frames, H, W, planes).

    ffmpeg 5.1 reads the LittleEndian field the other way round from the
    files: it passes the bytes through but names the opposite byte order in
    its pixel format. The values are taken in the order its pixel format
    names, then swapped back where that is not the order the file was
    written in."""
    data = ffmpeg("-f", "ser", "-i", path, "-f", "rawvideo", "-")
    if depth <= 8:
        values = np.frombuffer(data, np.uint8)
    else:
        named_big = pix_fmt.endswith("be")
        values = np.frombuffer(data, ">u2" if named_big else "<u2")
        if named_big != big_endian:
            values = values.byteswap()
    return values.reshape(-1, H, W, values.size // (frames * H * W))


def project(path, colour, source, frames):
    """A project without calibration steps, on the camera's scale, whose images are the frames of `source`, every one
    but frame 1."""
    flags = "".join(f"Enabled {k}={int(k != 1)}\n" for k in range(frames))
    path.write_text(f"[Version]\nMajor=0\nMinor=9\n\n[Processing]\nColour={int(colour)}\nDark=0\nFlat=0\nHot=0\n"
                    f"Stretch=0\nFitsScale=1\n\n[Image 1]\nFileName={source}\nFrames={frames}\n{flags}")
    return path


class SerInterop(InteropCase):
    def test_frames_match_ffmpeg(self):
        rng = np.random.default_rng(7)
        for colour_id, depth, big_endian in CASES:
            with self.subTest(colour_id=colour_id, depth=depth, big_endian=big_endian):
                n = W * H * planes(colour_id)
                frames = [rng.integers(0, 1 << depth, n).tolist() for _ in range(N)]
                path = self.tmp / f"clip_{colour_id}_{depth}.ser"
                path.write_bytes(ser_file(W, H, depth, frames, colour_id, big_endian, timestamps=True))
                pix_fmt = pix_fmt_of(path)
                theirs = ffmpeg_values(path, pix_fmt, depth, big_endian)
                self.assertEqual(theirs.shape, (N, H, W, planes(colour_id)), pix_fmt)
                info = cli_ok("info", path).stdout.split("\n")[0]
                self.assertEqual(info, f"ser {W}x{H} frames={N}")
                colour = planes(colour_id) == 3
                fmt = "bgrfloat" if colour else "grayfloat"
                # 8-bit values as they are; deeper ones with 2^depth - 1 as 255.
                full = 255.0 if depth <= 8 else float((1 << depth) - 1)
                for k in range(N):
                    ours = convert_raw(path, self.tmp / "frame.raw", fmt, "--frame", k)
                    self.assertIsInstance(ours, np.ndarray, ours)
                    expected = theirs[k].astype(np.float64) * 255.0 / full
                    if colour and pix_fmt.startswith("rgb"):
                        expected = expected[..., ::-1]  # Stelp's channels are blue, green, red
                    assert_array_equal(ours, expected.astype(np.float32).ravel(), f"frame {k}, {pix_fmt}")

    def test_exports_read_back_in_ffmpeg(self):
        # (source colour id, source depth, colour mode, time stamps): 8-bit sources give 8-bit videos, deeper ones
        # 16-bit videos of the engine value x 257, rounded; colour mode writes RGB.
        # A mosaic stays a mosaic in grey mode, under its Bayer id.
        cases = [(MONO, 8, False, True), (MONO, 16, False, False), (MONO, 12, False, True), (BGR, 8, True, False),
                 (RGB, 16, True, True), (BAYER_GRBG, 8, False, False)]
        rng = np.random.default_rng(11)
        for colour_id, depth, colour, stamped in cases:
            with self.subTest(colour_id=colour_id, depth=depth, colour=colour, stamped=stamped):
                n = W * H * planes(colour_id)
                frames = [rng.integers(0, 1 << depth, n).tolist() for _ in range(N)]
                src = self.tmp / f"src_{colour_id}_{depth}.ser"
                src.write_bytes(ser_file(W, H, depth, frames, colour_id, timestamps=stamped))
                out = self.tmp / f"out_{colour_id}_{depth}.ser"
                cli_ok("process", project(self.tmp / "p.sjx", colour, src, N), out, "--quiet")

                kept = np.array([frames[k] for k in range(N) if k != 1], np.float64).reshape(-1, H, W, planes(colour_id))
                if colour_id == BGR:
                    kept = kept[..., ::-1]  # written as red, green, blue
                if depth > 8:  # the engine's float of 0..255, x 257 rounded half up
                    engine = (kept * 255.0 / ((1 << depth) - 1)).astype(np.float32)
                    kept = np.floor(engine.astype(np.float64) * 257 + 0.5)
                wide = depth > 8
                data = out.read_bytes()
                fields = struct.unpack_from("<7i", data, 14)[1:]
                written_id = RGB if colour else colour_id if colour_id == BAYER_GRBG else MONO
                self.assertEqual(fields, (written_id, 0, W, H, 16 if wide else 8, N - 1))
                pix_fmt = pix_fmt_of(out)
                base = pix_fmt[:-2] if pix_fmt.endswith(("be", "le")) else pix_fmt
                self.assertEqual(base, {(False, False): "gray", (False, True): "gray16", (True, False): "rgb24",
                                        (True, True): "rgb48"}[colour, wide] if written_id != BAYER_GRBG
                                 else "bayer_grbg8")
                theirs = ffmpeg_values(out, pix_fmt, 16 if wide else 8, big_endian=False, frames=N - 1)
                assert_array_equal(theirs, kept, pix_fmt)
                # The source's observer, instrument, telescope and dates, and the stamps of the frames written.
                self.assertEqual(data[42:HEADER_SIZE], src.read_bytes()[42:HEADER_SIZE])
                trailer = data[HEADER_SIZE + theirs.nbytes:]
                stamps = [638000000000000000 + k for k in range(N) if k != 1] if stamped else []
                self.assertEqual(trailer, struct.pack(f"<{len(stamps)}q", *stamps))
