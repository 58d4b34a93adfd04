"""FITS files exchanged with astropy and checked by fitsverify: astropy-written
images load to the normalised pixels, and the files stelp-cli writes carry the
expected cards and integers and pass fitsverify cleanly."""
import re
import shutil
import subprocess

import numpy as np
from astropy.io import fits
from PIL import Image

from interop_util import (COLOUR_FORMATS, FORMATS, InteropCase, expected_from_fits, fits_values,
                          grey_of, write_fits)


class AstropyWrittenFits(InteropCase):
    def cases(self):
        """(name, data astropy writes, extra cards, keyword arguments for fits_values)."""
        rng = np.random.default_rng(3)
        blanked = rng.integers(-50, 1000, (3, 5), dtype=np.int16)
        blanked[0, 1] = blanked[2, 4] = 300
        blanked[1, 2] = 999  # keeps the maximum away from the null value
        cube = rng.integers(0, 500, (2, 3, 5), dtype=np.int16)
        cube[1] += 4000  # a second plane that would change both pixels and maximum
        return [
            ("uint8", rng.integers(0, 256, (3, 5), dtype=np.uint8), {}, {}),
            ("uint16_bzero", rng.integers(0, 65536, (3, 5), dtype=np.uint16), {}, {"bzero": 32768}),
            ("uint16_row", np.array([[0, 1, 32767, 32768, 40000, 65535, 7]], dtype=np.uint16), {},
             {"bzero": 32768}),
            ("int16_negatives", rng.integers(-3000, 3000, (7, 1), dtype=np.int16), {}, {}),
            ("int32_large", np.array([[-5, 0, 1, 2**31 - 1, 123456789], [2**30, 3, -2**31, 99, 1]],
                                     dtype=np.int32), {}, {}),
            ("int32_small", rng.integers(0, 1000, (3, 5), dtype=np.int32), {}, {}),
            ("int16_blank", blanked, {"BLANK": 300}, {"blank": 300}),
            ("int16_scaled", blanked, {"BSCALE": 2, "BZERO": 100}, {"bzero": 100, "bscale": 2}),
            ("cube_first_plane", cube, {}, {}),
            ("all_zero", np.zeros((3, 5), dtype=np.int16), {}, {}),
        ]

    def test_astropy_files_load_normalised(self):
        for name, data, cards, scaling in self.cases():
            path = self.tmp / f"{name}.fits"
            stored = write_fits(path, data, **cards)
            plane = stored[0] if stored.ndim == 3 else stored
            height, width = plane.shape
            values = fits_values(plane, **scaling)
            for fmt in FORMATS:
                with self.subTest(name=name, fmt=fmt):
                    got = self.load_raw(path, fmt, width, height)
                    self.assertPixels(got, expected_from_fits(values, fmt), f"{name} {fmt}")


class StelpWrittenFits(InteropCase):
    WIDTH, HEIGHT = 7, 3

    def setUp(self):
        super().setUp()
        self.rgb = np.random.default_rng(11).integers(0, 256, (self.HEIGHT, self.WIDTH, 3), dtype=np.uint8)
        self.src = self.tmp / "src.bmp"
        Image.fromarray(self.rgb, "RGB").save(self.src)

    def expected_data(self, fmt, bscale):
        """trunc(grey * BSCALE) in stored order: grey formats hold (b+2g+r)//4,
        colour formats the exact luminance (b+2g+r)*0.25."""
        rgb = self.rgb.astype(np.int64)
        if fmt in COLOUR_FORMATS:
            grey = (rgb[..., 0] + 2 * rgb[..., 1] + rgb[..., 2]) * 0.25
        else:
            grey = grey_of(rgb).astype(np.float64)
        return np.flipud(np.trunc(grey * bscale).astype(np.int64))

    def fitsverify(self, path):
        tool = shutil.which("fitsverify")
        self.assertIsNotNone(tool, "fitsverify is not installed")
        quiet = subprocess.run([tool, "-q", str(path)], capture_output=True, text=True, timeout=30)
        self.assertEqual(quiet.returncode, 0, quiet.stdout + quiet.stderr)
        self.assertIn("verification OK", quiet.stdout)
        full = subprocess.run([tool, str(path)], capture_output=True, text=True, timeout=30)
        found = re.search(r"found (\d+) warning\(s\) and (\d+) error\(s\)", full.stdout)
        self.assertIsNotNone(found, full.stdout)
        self.assertEqual(found.groups(), ("0", "0"), full.stdout)

    def test_written_fits_match_astropy_and_fitsverify(self):
        for flag, bitpix, bscale, dtype in (((), 16, 128, ">i2"), (("--fits32",), 32, 32768, ">i4")):
            for fmt in FORMATS:
                with self.subTest(bitpix=bitpix, fmt=fmt):
                    out = self.tmp / f"out_{bitpix}_{fmt}.fits"
                    self.cli_ok("convert", self.src, out, "--format", fmt, *flag)
                    with fits.open(out, do_not_scale_image_data=True) as f:
                        self.assertEqual(len(f), 1)
                        header, data = f[0].header, f[0].data
                        cards = {k: header.get(k) for k in ("SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2",
                                                            "BSCALE", "BZERO")}
                        self.assertEqual(cards, {"SIMPLE": True, "BITPIX": bitpix, "NAXIS": 2,
                                                 "NAXIS1": self.WIDTH, "NAXIS2": self.HEIGHT,
                                                 "BSCALE": bscale, "BZERO": 0})
                        self.assertEqual(data.dtype, np.dtype(dtype))
                        self.assertPixels(data.astype(np.int64), self.expected_data(fmt, bscale), out.name)
                    self.fitsverify(out)
