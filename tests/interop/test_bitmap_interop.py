"""Bitmaps exchanged with Pillow: files Pillow writes load to the pixels Pillow reads from them, files stelp-cli writes
read back in Pillow unchanged, and headers Pillow never writes (top-down rows, larger info headers, bit fields, gaps
before the rows) load as Pillow reads them."""
import struct

import numpy as np
from numpy.testing import assert_array_equal
from PIL import Image

from interop_util import FORMATS, InteropCase, bmp_file, cli_ok, expected, grey_of, pillow_read


def bit_count(path):
    return struct.unpack_from("<H", path.read_bytes(), 28)[0]


class Bitmaps(InteropCase):
    def test_pillow_bitmaps_load_to_pillow_pixels(self):
        rng, cases = np.random.default_rng(0), []
        for mode, depth in (("P", 8), ("L", 8), ("RGB", 24), ("RGBA", 32)):
            for width, height in ((5, 3), (1, 1)):  # an odd width makes the row padding matter
                pixels = rng.integers(0, 16 if mode == "P" else 256, (height, width, len(mode)), dtype=np.uint8)
                img = Image.fromarray(pixels[..., 0] if len(mode) == 1 else pixels, mode)
                if mode == "P":  # 16 decidedly non-grey colours: Pillow writes only those entries
                    img.putpalette(rng.integers(0, 256, 16 * 3, dtype=np.uint8).tobytes())
                path = self.tmp / f"{mode}_{width}x{height}.bmp"
                img.save(path)
                self.assertEqual(bit_count(path), depth, path.name)
                cases += [(path, None, fmt, expected(pillow_read(path)[1][..., ::-1], fmt)) for fmt in FORMATS]
        self.assertLoads(cases)

    def test_written_bitmaps_read_back_in_pillow(self):
        # Colour formats keep the channels; grey formats store (b + 2g + r) // 4.
        rgb = np.random.default_rng(7).integers(0, 256, (3, 7, 3), dtype=np.uint8)
        grey = np.repeat(grey_of(rgb)[..., None], 3, axis=2)
        Image.fromarray(rgb, "RGB").save(self.tmp / "src.bmp")
        for fmt, depth, want in (("gray8", 8, grey), ("bgr24", 24, rgb), ("bgrfloat", 24, rgb)):
            with self.subTest(fmt=fmt):
                out = self.tmp / f"{fmt}.bmp"
                cli_ok("convert", self.tmp / "src.bmp", out, "--format", fmt)
                self.assertEqual(bit_count(out), depth)
                self.assertInfo(out, "bmp 7x3 frames=1")
                assert_array_equal(pillow_read(out)[1], want)

    def test_crafted_bitmaps_load_as_pillow_reads_them(self):
        rng = np.random.default_rng(7)
        rgb = rng.integers(0, 256, (3, 5, 3), dtype=np.uint8)
        palette = ((200, 10, 30), (0, 250, 40), (12, 34, 255), (90, 90, 0))
        idx = rng.integers(0, 4, (3, 5), dtype=np.uint8)
        indexed, bgr = [r.tobytes() for r in idx], [r[:, ::-1].tobytes() for r in rgb]
        bgrx = [np.concatenate([row[:, ::-1], np.full((5, 1), 0x7F, np.uint8)], axis=1).tobytes() for row in rgb]
        masks, from_palette = (0x00FF0000, 0x0000FF00, 0x000000FF), np.array(palette, np.uint8)[idx]
        for name, data, want in (
                ("v5_header_8_top_down_gap",
                 bmp_file(5, 3, 8, indexed, header_size=124, palette=palette, top_down=True, gap=3), from_palette),
                ("v4_header_24_gap", bmp_file(5, 3, 24, bgr, header_size=108, gap=6), rgb),
                # bfOffBits skips 36 bytes after the palette of a 40-byte header
                ("info_header_8_gap", bmp_file(5, 3, 8, indexed, palette=palette, gap=36), from_palette),
                ("info_header_24_gap", bmp_file(5, 3, 24, bgr, gap=36), rgb),
                ("bitfields_32_top_down", bmp_file(5, 3, 32, bgrx, compression=3, masks=masks, top_down=True), rgb),
                ("v5_header_bitfields_32", bmp_file(5, 3, 32, bgrx, compression=3, masks=masks, header_size=124), rgb),
                ("info_header_24_unused_palette", bmp_file(5, 3, 24, bgr, palette=palette[:2]), rgb)):
            path = self.tmp / f"{name}.bmp"
            path.write_bytes(data)
            with self.subTest(name=name, reader="Pillow"):
                assert_array_equal(pillow_read(path)[1], want)  # guards the file builder
            self.assertLoads([(path, None, fmt, expected(want[..., ::-1], fmt)) for fmt in FORMATS])
