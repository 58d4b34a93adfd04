"""A video past 1 GiB: stelp-cli's AVI writer continues in further RIFF segments with an OpenDML index, so that ffmpeg
finds every frame and Stelp reads frames beyond the first segment back unchanged. Slow (it writes and decodes about
1.1 GiB): CTest runs it only under the 'slow' label."""
import hashlib
import shutil
import struct

import numpy as np
from PIL import Image

from interop_util import InteropCase, cli_ok, ffmpeg, ffprobe

SIDE, FRAMES = 1024, 360    # bgr24 frames of 3 MiB: about 1.05 GiB in all
SEGMENT = 1 << 30           # the most a RIFF segment may hold
SLOW = 600                  # seconds


class LargeVideo(InteropCase):
    def test_video_past_one_gibibyte(self):
        free = shutil.disk_usage(self.tmp).free
        if free < 3 << 30:
            self.skipTest(f"needs 3 GiB free under {self.tmp}, only {free / (1 << 30):.2f} GiB free")
        bgr = np.random.default_rng(1024).integers(0, 256, (SIDE, SIDE, 3), dtype=np.uint8)
        src, big = self.tmp / "src.bmp", self.tmp / "big.avi"
        Image.fromarray(np.ascontiguousarray(bgr[..., ::-1]), "RGB").save(src)
        cli_ok("convert", src, big, "--format", "bgr24", "--repeat", FRAMES, timeout=SLOW)

        riffs = []  # (form type, size) of the RIFF chunks one after another in the file
        with open(big, "rb") as f:
            while len(header := f.read(12)) == 12:
                fourcc, size, form = struct.unpack("<4sI4s", header)
                self.assertEqual(fourcc, b"RIFF", f"at {f.tell() - 12}")
                riffs.append((form, size))
                f.seek(size + (size & 1) - 4, 1)
        self.assertEqual([form for form, _ in riffs[:2]], [b"AVI ", b"AVIX"], "no second RIFF segment")
        self.assertEqual({form for form, _ in riffs[1:]}, {b"AVIX"})
        self.assertLessEqual(max(size for _, size in riffs), SEGMENT)
        self.assertEqual(ffprobe(big, timeout=SLOW), ("rawvideo", "bgr24", "5/1", str(FRAMES)))
        # ffmpeg decodes every frame, in both segments, to the source pixels.
        lines = ffmpeg("-i", big, "-map", "0:v:0", "-fps_mode", "passthrough", "-pix_fmt", "bgr24",
                       "-f", "framemd5", "-", timeout=SLOW).decode().splitlines()
        self.assertEqual([line.split(",")[-1].strip() for line in lines if line and not line.startswith("#")],
                         [hashlib.md5(bgr.tobytes()).hexdigest()] * FRAMES)
        self.assertInfo(big, f"avi {SIDE}x{SIDE} frames={FRAMES}")
        # The first frame, the first that cannot fit in the first segment, the last.
        self.assertLoads([(big, frame, "bgr24", bgr) for frame in (0, SEGMENT // bgr.nbytes, FRAMES - 1)])
