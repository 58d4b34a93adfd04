"""Bitmaps exchanged with Pillow: files Pillow writes load to the pixels Pillow
reads from them, files stelp-cli writes read back in Pillow unchanged, and
hand-made headers Pillow never writes (top-down rows, larger info headers,
bit fields, short palettes) load right."""
import struct

import numpy as np
from PIL import Image

from interop_util import (COLOUR_FORMATS, FORMATS, InteropCase, bmp_file, expected_from_rgb,
                          grey_of, pack_rgb)

SIZES = ((5, 3), (7, 2), (1, 1))  # odd widths make the 4-byte row padding matter


def pillow_image(mode, width, height, seed):
    rng = np.random.default_rng(seed)
    if mode == "P":
        # A 16-colour, decidedly non-grey palette: Pillow writes only those entries.
        img = Image.fromarray(rng.integers(0, 16, (height, width), dtype=np.uint8), "P")
        img.putpalette(rng.integers(0, 256, 16 * 3, dtype=np.uint8).tobytes())
        return img
    channels = {"L": 1, "RGB": 3, "RGBA": 4}[mode]
    pixels = rng.integers(0, 256, (height, width, channels), dtype=np.uint8)
    return Image.fromarray(pixels[..., 0] if channels == 1 else pixels, mode)


class PillowWrittenBitmaps(InteropCase):
    def test_pillow_bitmaps_load_to_pillow_pixels(self):
        for seed, mode in enumerate(("P", "L", "RGB", "RGBA")):
            for width, height in SIZES:
                path = self.tmp / f"{mode}_{width}x{height}.bmp"
                img = pillow_image(mode, width, height, seed)
                img.save(path)
                with Image.open(path) as back:  # the pixels as Pillow reads the file
                    rgb = np.asarray(back.convert("RGB"))
                depth = {"P": 8, "L": 8, "RGB": 24, "RGBA": 32}[mode]
                self.assertEqual(struct.unpack_from("<H", path.read_bytes(), 28)[0], depth)
                for fmt in FORMATS:
                    with self.subTest(mode=mode, size=(width, height), fmt=fmt):
                        got = self.load_raw(path, fmt, width, height)
                        self.assertPixels(got, expected_from_rgb(rgb, fmt), f"{path.name} {fmt}")


class StelpWrittenBitmaps(InteropCase):
    def test_written_bitmaps_read_back_in_pillow(self):
        # Colour formats keep the three channels; grey formats store (b+2g+r)//4.
        for width, height in ((7, 3), (5, 2)):
            rgb = np.random.default_rng(width).integers(0, 256, (height, width, 3), dtype=np.uint8)
            src = self.tmp / f"src_{width}.bmp"
            Image.fromarray(rgb, "RGB").save(src)
            for fmt in FORMATS:
                with self.subTest(size=(width, height), fmt=fmt):
                    out = self.tmp / f"out_{width}_{fmt}.bmp"
                    self.cli_ok("convert", src, out, "--format", fmt)
                    colour = fmt in COLOUR_FORMATS
                    self.assertEqual(struct.unpack_from("<H", out.read_bytes(), 28)[0], 24 if colour else 8)
                    with Image.open(out) as img:
                        self.assertEqual(img.size, (width, height))
                        got = np.asarray(img.convert("RGB"))
                    want = rgb if colour else np.repeat(grey_of(rgb)[..., None], 3, axis=2)
                    self.assertPixels(got, want.astype(np.uint8), f"{out.name}")


class CraftedBitmaps(InteropCase):
    RGB = np.random.default_rng(7).integers(0, 256, (3, 5, 3), dtype=np.uint8)
    PALETTE = ((200, 10, 30), (0, 250, 40), (12, 34, 255), (90, 90, 0))
    INDICES = np.array([[0, 1, 2, 3, 0], [3, 2, 1, 0, 1], [1, 1, 3, 3, 2]], dtype=np.uint8)
    STANDARD_MASKS = (0x00FF0000, 0x0000FF00, 0x000000FF)

    def cases(self):
        """(name, file bytes, RGB pixels the file holds, top row first)."""
        rgb, idx, pal, masks = self.RGB, self.INDICES, self.PALETTE, self.STANDARD_MASKS
        pal_rgb = np.array(pal, dtype=np.uint8)[idx]
        idx_rows = [row.tobytes() for row in idx]
        # Indices 4 and 9 lie past a 4-entry palette: those pixels read black.
        wild = np.where(idx == 3, np.uint8(9), idx)
        wild[0, 0] = 4
        wild_rgb = np.where((wild >= 4)[..., None], 0, np.array(pal, dtype=np.uint8)[np.minimum(wild, 3)])
        return [
            ("top_down_24", bmp_file(5, 3, 24, pack_rgb(rgb, 24), top_down=True), rgb),
            ("top_down_8", bmp_file(5, 3, 8, idx_rows, top_down=True, palette=pal), pal_rgb),
            ("bottom_up_32", bmp_file(5, 3, 32, pack_rgb(rgb, 32)), rgb),
            ("bitfields_32", bmp_file(5, 3, 32, pack_rgb(rgb, 32, 0), compression=3, masks=masks), rgb),
            ("v5_header_24_gap", bmp_file(5, 3, 24, pack_rgb(rgb, 24), header_size=124, gap=6), rgb),
            ("v4_header_8", bmp_file(5, 3, 8, idx_rows, header_size=108, palette=pal), pal_rgb),
            ("v4_bitfields_32_top_down",
             bmp_file(5, 3, 32, pack_rgb(rgb, 32, 0xFF), header_size=108, compression=3, masks=masks,
                      top_down=True), rgb),
            ("v5_header_8_top_down_gap",
             bmp_file(5, 3, 8, idx_rows, header_size=124, palette=pal, top_down=True, gap=3), pal_rgb),
            ("indices_past_palette", bmp_file(5, 3, 8, [r.tobytes() for r in wild], palette=pal), wild_rgb),
        ]

    def test_crafted_bitmaps_load_right_side_up(self):
        for name, data, rgb in self.cases():
            path = self.tmp / f"{name}.bmp"
            path.write_bytes(data)
            for fmt in FORMATS:
                with self.subTest(name=name, fmt=fmt):
                    self.assertPixels(self.load_raw(path, fmt, 5, 3), expected_from_rgb(rgb, fmt), f"{name} {fmt}")

    def test_pillow_agrees_with_crafted_files(self):
        # Guards the crafting helper itself: Pillow must see the intended pixels
        # in the files it can open (it rejects neither top-down nor large headers).
        for name, data, rgb in self.cases():
            if name == "indices_past_palette":
                continue  # Pillow's own choice for out-of-range indices is not the point here
            with self.subTest(name=name):
                path = self.tmp / f"{name}.bmp"
                path.write_bytes(data)
                with Image.open(path) as img:
                    self.assertPixels(np.asarray(img.convert("RGB")), rgb, name)
