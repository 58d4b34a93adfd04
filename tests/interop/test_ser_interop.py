"""SER videos read by stelp-cli frame by frame give the values ffmpeg's SER demuxer gives (layout, frame order and
channel order) in every colour id Stelp reads and in both byte orders of 16-bit data. The SER videos `stelp-cli process`
writes read back in ffmpeg with their size, frame count and pixels, and keep their sources' time stamps."""
import struct

import numpy as np
from numpy.testing import assert_array_equal

from interop_util import InteropCase, cli_ok, ffmpeg, tool

W, H, N = 7, 5, 3  # an odd width, so that a row stride mistake shows
MONO, BAYER_RGGB, BAYER_GRBG, RGB, BGR = 0, 8, 9, 100, 101  # colour ids
HEADER_SIZE, STAMP = 178, 638000000000000000  # STAMP: the header's dates and the first frame's time stamp
# (colour id, depth, big-endian 16-bit data)
CASES = [(MONO, 8, False), (MONO, 16, False), (MONO, 12, True), (BAYER_RGGB, 8, False), (BAYER_GRBG, 16, False),
         (RGB, 8, False), (BGR, 8, False), (RGB, 16, True), (BGR, 10, False)]


def planes(colour_id):
    return 3 if colour_id in (RGB, BGR) else 1


def ser_file(depth, frames, colour_id, big_endian=False, timestamps=False):
    """A SER video (version 3) of W x H `frames` (lists of values, planes interleaved), written from the format's public
    description: a 178-byte header of little-endian fields, the frames top row first, then optionally one 8-byte time
    stamp per frame. Capture programs store LittleEndian 0 for little-endian 16-bit data."""
    data = struct.pack("<14s7i", b"LUCAM-RECORDER", 0, colour_id, int(big_endian), W, H, depth, len(frames))
    data += b"observer".ljust(40) + b"instrument".ljust(40) + b"telescope".ljust(40) + struct.pack("<qq", STAMP, STAMP)
    for values in frames:
        data += bytes(values) if depth <= 8 else struct.pack(f"{'>' if big_endian else '<'}{len(values)}H", *values)
    return data + (b"".join(struct.pack("<q", STAMP + k) for k in range(len(frames))) if timestamps else b"")


def pix_fmt_of(path):
    return tool("ffprobe", "-v", "error", "-f", "ser", "-show_entries", "stream=pix_fmt", "-of", "csv=p=0",
                path).decode().strip()


def ffmpeg_values(path, pix_fmt, depth, big_endian, frames=N):
    """Every frame as ffmpeg's SER demuxer hands it over, (frames, H, W, planes). ffmpeg 5.1 passes 16-bit data through
    but names the byte order opposite to the LittleEndian field, so the values are swapped back where its pixel format
    names another order than the file was written in."""
    data = ffmpeg("-f", "ser", "-i", path, "-f", "rawvideo", "-")
    values = np.frombuffer(data, np.uint8)
    if depth > 8:
        values = np.frombuffer(data, ">u2" if pix_fmt.endswith("be") else "<u2")
        values = values.byteswap() if pix_fmt.endswith("be") != big_endian else values
    return values.reshape(-1, H, W, values.size // (frames * H * W))


def random_ser(rng, path, colour_id, depth, **options):
    """Writes N frames of random values to `path`; returns them."""
    frames = [rng.integers(0, 1 << depth, W * H * planes(colour_id)).tolist() for _ in range(N)]
    path.write_bytes(ser_file(depth, frames, colour_id, **options))
    return frames


class SerInterop(InteropCase):
    def test_frames_match_ffmpeg(self):
        rng, cases = np.random.default_rng(7), []
        for colour_id, depth, big_endian in CASES:
            path = self.tmp / f"clip_{colour_id}_{depth}.ser"
            random_ser(rng, path, colour_id, depth, big_endian=big_endian, timestamps=True)
            pix_fmt = pix_fmt_of(path)
            theirs = ffmpeg_values(path, pix_fmt, depth, big_endian).astype(np.float64)
            with self.subTest(colour_id=colour_id, depth=depth, big_endian=big_endian):
                self.assertEqual(theirs.shape, (N, H, W, planes(colour_id)), pix_fmt)
                self.assertEqual(cli_ok("info", path).stdout.split("\n")[0], f"ser {W}x{H} frames={N}")
            # 8-bit values as they are, deeper ones with 2^depth - 1 as 255; Stelp's channels are blue, green, red.
            want = theirs * 255.0 / (255.0 if depth <= 8 else float((1 << depth) - 1))
            want = want[..., ::-1] if pix_fmt.startswith("rgb") else want
            fmt = "bgrfloat" if planes(colour_id) == 3 else "grayfloat"
            cases += [(path, k, fmt, want[k].astype(np.float32)) for k in range(N)]
        self.assertLoads(cases)

    def test_exports_read_back_in_ffmpeg(self):
        # (source colour id, source depth, colour mode, time stamps, the id and ffmpeg pixel format written): 8-bit
        # sources give 8-bit videos, deeper ones 16-bit videos of the engine value x 257, rounded; colour mode writes
        # RGB; a mosaic stays a mosaic in grey mode, under its Bayer id.
        cases = [(MONO, 8, False, True, MONO, "gray"), (MONO, 16, False, False, MONO, "gray16"),
                 (MONO, 12, False, True, MONO, "gray16"), (BGR, 8, True, False, RGB, "rgb24"),
                 (RGB, 16, True, True, RGB, "rgb48"), (BAYER_GRBG, 8, False, False, BAYER_GRBG, "bayer_grbg8")]
        rng = np.random.default_rng(11)
        for colour_id, depth, colour, stamped, written_id, written_fmt in cases:
            with self.subTest(colour_id=colour_id, depth=depth, colour=colour, stamped=stamped):
                src, out = self.tmp / f"src_{colour_id}_{depth}.ser", self.tmp / f"out_{colour_id}_{depth}.ser"
                frames = random_ser(rng, src, colour_id, depth, timestamps=stamped)
                # A project without calibration steps, on the camera's scale, of every frame but frame 1.
                (self.tmp / "p.sjx").write_text(
                    f"[Version]\nMajor=0\nMinor=9\n\n[Processing]\nColour={int(colour)}\nDark=0\nFlat=0\nHot=0\n"
                    f"Stretch=0\nFitsScale=1\n\n[Image 1]\nFileName={src}\nFrames={N}\n"
                    + "".join(f"Enabled {k}={int(k != 1)}\n" for k in range(N)))
                cli_ok("process", self.tmp / "p.sjx", out, "--quiet")

                kept = np.array(frames[:1] + frames[2:], np.float64).reshape(-1, H, W, planes(colour_id))
                kept = kept[..., ::-1] if colour_id == BGR else kept  # written as red, green, blue
                if depth > 8:  # the engine's float of 0..255, x 257 rounded half up
                    kept = np.floor(np.float32(kept * 255.0 / ((1 << depth) - 1)).astype(np.float64) * 257 + 0.5)
                data, pix_fmt = out.read_bytes(), pix_fmt_of(out)
                self.assertEqual(struct.unpack_from("<7i", data, 14)[1:],
                                 (written_id, 0, W, H, 16 if depth > 8 else 8, N - 1))
                self.assertEqual(pix_fmt[:-2] if pix_fmt.endswith(("be", "le")) else pix_fmt, written_fmt)
                theirs = ffmpeg_values(out, pix_fmt, 16 if depth > 8 else 8, big_endian=False, frames=N - 1)
                assert_array_equal(theirs, kept, pix_fmt)
                # The source's observer, instrument, telescope and dates, and the stamps of the frames written.
                self.assertEqual(data[42:HEADER_SIZE], src.read_bytes()[42:HEADER_SIZE])
                stamps = [STAMP + k for k in range(N) if k != 1] if stamped else []
                self.assertEqual(data[HEADER_SIZE + theirs.nbytes:], struct.pack(f"<{len(stamps)}q", *stamps))
