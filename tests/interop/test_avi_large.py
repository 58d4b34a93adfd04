"""A video past 1 GiB: stelp-cli's AVI writer must continue in further RIFF
segments with an OpenDML index so that ffmpeg still finds every frame, and
Stelp must read frames beyond the first segment back unchanged. Slow (it
writes and decodes about 1.1 GiB), so CTest runs it only under the 'slow'
label."""
import hashlib
import shutil
import struct
import subprocess
import tempfile
import unittest
from pathlib import Path

import numpy as np
from PIL import Image

import avi_util as av
from interop_util import CLI, RAW_LAYOUT

SIDE = 1024                 # 1024x1024 bgr24: 3 MiB a frame
FRAMES = 360                # about 1.05 GiB of frame data plus chunk headers
FIRST_SEGMENT = 1 << 30     # the first RIFF holds at most this much
NEEDED_FREE = 3 << 30
SLOW_TIMEOUT = 600


def top_level_riffs(path):
    """(form type, offset, size) of the RIFF chunks one after another in the
    file, read by seeking from header to header."""
    found = []
    with open(path, "rb") as f:
        end = f.seek(0, 2)
        pos = 0
        while pos + 12 <= end:
            f.seek(pos)
            fourcc, size, form = struct.unpack("<4sI4s", f.read(12))
            if fourcc != b"RIFF":
                raise AssertionError(f"{path}: {fourcc!r} at {pos}, not a RIFF chunk")
            found.append((form, pos, size))
            pos += 8 + size + (size & 1)
    return found


class LargeVideo(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory(dir="/tmp", prefix="stelp-avi-large-")
        self.addCleanup(tmp.cleanup)
        self.tmp = Path(tmp.name)

    def cli(self, *args):
        r = subprocess.run([CLI, *map(str, args)], capture_output=True, text=True, timeout=SLOW_TIMEOUT)
        self.assertEqual(r.returncode, 0, f"stelp-cli {' '.join(map(str, args))}: {r.stderr}")
        return r

    def test_video_past_one_gibibyte(self):
        free = shutil.disk_usage(self.tmp).free
        if free < NEEDED_FREE:
            self.skipTest(f"needs 3 GiB free under {self.tmp} for a 1.1 GiB video, "
                          f"only {free / (1 << 30):.2f} GiB free")
        rgb = np.random.default_rng(1024).integers(0, 256, (SIDE, SIDE, 3), dtype=np.uint8)
        bgr = np.ascontiguousarray(rgb[..., ::-1])
        src, big = self.tmp / "src.bmp", self.tmp / "big.avi"
        Image.fromarray(rgb, "RGB").save(src)
        self.cli("convert", src, big, "--format", "bgr24", "--repeat", FRAMES)

        self.assertGreater(big.stat().st_size, FIRST_SEGMENT)
        riffs = top_level_riffs(big)
        self.assertEqual(riffs[0][0], b"AVI ")
        self.assertGreaterEqual(len(riffs), 2, "no second RIFF segment past 1 GiB")
        self.assertEqual({form for form, _, _ in riffs[1:]}, {b"AVIX"})
        self.assertTrue(all(size <= FIRST_SEGMENT for _, _, size in riffs), riffs)

        probe = av.ffprobe_video(big, timeout=SLOW_TIMEOUT)
        self.assertEqual((probe["codec_name"], probe["r_frame_rate"], probe["nb_read_frames"]),
                         ("rawvideo", "5/1", str(FRAMES)))
        # ffmpeg decodes every frame, in both segments, to the source pixels.
        hashes = av.ffmpeg("-i", big, "-map", "0:v:0", "-fps_mode", "passthrough", "-pix_fmt", "bgr24",
                           "-f", "framemd5", "-", timeout=SLOW_TIMEOUT).decode().splitlines()
        hashes = [line.split(",")[-1].strip() for line in hashes if line and not line.startswith("#")]
        self.assertEqual(hashes, [hashlib.md5(bgr.tobytes()).hexdigest()] * FRAMES)

        r = self.cli("info", big)
        self.assertEqual(r.stdout, f"avi {SIDE}x{SIDE} frames={FRAMES}\n")
        # The first frame, the first one that cannot fit in the first segment,
        # and the last.
        frame_bytes = SIDE * SIDE * 3
        for frame in (0, FIRST_SEGMENT // frame_bytes, FRAMES - 1):
            with self.subTest(frame=frame):
                out = self.tmp / f"frame{frame}.raw"
                self.cli("convert", big, out, "--frame", frame, "--format", "bgr24")
                dtype, channels = RAW_LAYOUT["bgr24"]
                got = np.frombuffer(out.read_bytes(), dtype=dtype)
                self.assertEqual(got.size, SIDE * SIDE * channels)
                np.testing.assert_array_equal(got.reshape(SIDE, SIDE, channels), bgr, err_msg=f"frame {frame}")
                out.unlink()


if __name__ == "__main__":
    unittest.main()
