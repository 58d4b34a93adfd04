"""SER videos read by stelp-cli frame by frame give the values ffmpeg's SER
demuxer gives: the same layout, frame order and channel order, in every
colour id Stelp reads and in both byte orders of 16-bit data."""
import numpy as np
from numpy.testing import assert_array_equal

from interop_util import InteropCase, cli_ok, convert_raw, ffmpeg, tool
from ser_file import BAYER_GRBG, BAYER_RGGB, BGR, MONO, RGB, planes, ser_file

W, H, N = 7, 5, 3  # an odd width, so that a row stride mistake shows
# (colour id, depth, big-endian 16-bit data)
CASES = [(MONO, 8, False), (MONO, 16, False), (MONO, 12, True), (BAYER_RGGB, 8, False), (BAYER_GRBG, 16, False),
         (RGB, 8, False), (BGR, 8, False), (RGB, 16, True), (BGR, 10, False)]


def pix_fmt_of(path):
    return tool("ffprobe", "-v", "error", "-f", "ser", "-show_entries", "stream=pix_fmt", "-of", "csv=p=0",
                path).decode().strip()


def ffmpeg_values(path, pix_fmt, depth, big_endian):
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
    return values.reshape(-1, H, W, values.size // (N * H * W))


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
