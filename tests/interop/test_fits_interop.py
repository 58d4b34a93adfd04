"""FITS files exchanged with astropy, fitsverify and (when installed) Siril: astropy-written integer, float and RGB
images load on the camera's scale and to their brightest pixel, and the 16-bit, 32-bit and float files stelp-cli writes
hold the engine's values at the scale their cards state, pass fitsverify and read back."""
import re
import shutil
import subprocess

import numpy as np
from astropy.io import fits
from numpy.testing import assert_allclose, assert_array_equal
from PIL import Image

from interop_util import InteropCase, cli_ok, convert_raw, grey_of

LOAD_FORMATS = ("gray8", "grayfloat", "bgr24", "bgrfloat")
# Camera scale: what an engine value of 1 is, by BITPIX.
CAMERA_DIVISOR = {8: 1, 16: 257, 32: 16843009}


def expected_load(values, fmt, mul, div):
    """The pixels (top row first) that `values` (bottom row first; a (3, h, w) cube is red, green, blue) load as in
    `fmt`, scaled as value x mul / div in double precision: non-finite and negative values read as 0; integer formats
    clamp to 255 and truncate, float formats keep values above full scale; grey formats take the red plane, colour ones
    repeat a grey image."""
    v = np.flip(np.asarray(values, np.float64), axis=-2)
    v = np.maximum(np.where(np.isfinite(v), v, 0), 0) * mul / div
    v = v.astype(np.float32) if fmt.endswith("float") else np.trunc(np.minimum(v, 255))
    if fmt.startswith("gray"):
        return v[0] if v.ndim == 3 else v
    return np.moveaxis(v[::-1], 0, -1) if v.ndim == 3 else np.repeat(v[..., None], 3, axis=2)


def brightest(values):
    """The divisor of the brightest-pixel scale: the greatest finite value, 1 when none lies above 0."""
    v = np.asarray(values, np.float64)
    return max(v[np.isfinite(v)].max(initial=0), 0) or 1


class AstropyWrittenFits(InteropCase):
    def test_integer_files_on_both_scales(self):
        """Brightest pixel keeps the old integer rule: the integer part of BZERO / BSCALE (single precision) is added to
        the raw value, and the null value (BLANK) is compared after that; camera scale uses the physical value raw x
        BSCALE + BZERO, nulls compared raw. Nulls read as 0 on both."""
        rng = np.random.default_rng(3)
        uint16 = rng.integers(0, 65536, (3, 5), dtype=np.uint16)
        uint16[0] = (0, 32767, 32768, 40000, 65535)
        blanked = rng.integers(-50, 1000, (3, 5), dtype=np.int16)
        blanked[0, 1] = blanked[2, 4] = 300
        blanked[2, 0] = 250  # the null value of int16_scaled's brightest-pixel rule (250 + 100 / 2)
        blanked[1, 2] = 999  # keeps the maximum away from the null value
        cube = rng.integers(0, 500, (2, 3, 5), dtype=np.int16)
        cube[1] += 4000  # a second plane that would change both pixels and maximum
        uint32 = rng.integers(0, 2**32, (3, 5), dtype=np.uint32)
        uint32[0] = (0, 1, 2**31, 2**32 - 2, 2**32 - 1)
        camera, brightest_cases = [], []
        for name, data, cards in (
                ("uint8", rng.integers(0, 256, (3, 5), dtype=np.uint8), {}),
                ("uint8_above_full_scale", rng.integers(0, 256, (3, 5), dtype=np.uint8), {"BZERO": 100}),
                ("uint16_bzero", uint16, {}),
                ("uint32_bzero", uint32, {}),
                ("int16_column", rng.integers(-3000, 3000, (7, 1), dtype=np.int16), {}),
                ("int32", np.array([[-5, 0, 1, 2**31 - 1, 123456789], [2**30, 3, -2**31, 99, 1]], np.int32), {}),
                ("int16_blank", blanked, {"BLANK": 300}),
                ("int16_scaled", blanked, {"BSCALE": 2, "BZERO": 100, "BLANK": 300}),
                ("cube_first_plane", cube, {}),
                ("all_zero", np.zeros((3, 5), np.int16), {})):
            path = self.tmp / f"{name}.fits"
            hdu = fits.PrimaryHDU(data)
            hdu.header.update(cards)  # set after the data: astropy does not rescale it
            hdu.writeto(path)
            with fits.open(path, do_not_scale_image_data=True) as f:  # the integers the file holds
                h = f[0].header
                self.assertEqual({k: h[k] for k in cards}, cards)
                raw = (f[0].data[0] if data.ndim == 3 else f[0].data).astype(np.float64)
                bzero, bscale, bitpix = h.get("BZERO", 0), h.get("BSCALE", 1), h["BITPIX"]
            shifted = raw + int(np.float32(bzero) / np.float32(bscale))
            old = np.where(shifted == cards.get("BLANK"), 0, shifted)
            physical = np.where(raw == cards.get("BLANK"), np.nan, raw * bscale + bzero)
            for fmt in LOAD_FORMATS:
                camera.append((path, None, fmt, expected_load(physical, fmt, 1, CAMERA_DIVISOR[bitpix])))
                brightest_cases.append((path, None, fmt, expected_load(old, fmt, 255, brightest(old))))
        self.assertLoads(camera)  # convert reads FITS on camera scale by default
        self.assertLoads(brightest_cases, "--fits-scale", "brightest")

    def test_float_files_and_rgb_cubes_on_both_scales(self):
        """Float data within 0..1 is x 255 on camera scale, other float data / 257; NaN and infinities read as 0. An RGB
        cube (planes red, green, blue) loads as colour, its brightest pixel that of all planes; grey formats read the
        red plane as before. `info` says which scale applies."""
        rng = np.random.default_rng(8)
        unit = np.minimum(rng.random((4, 6)), 0.75)  # brightest-pixel values differ from camera ones
        unit[0, :3] = (0, np.nan, np.inf)  # infinities do not take data out of 0..1
        counts = rng.random((4, 6)) * 60000
        counts[0, :4] = (np.nan, -np.inf, -12.5, 70000.25)  # 70000 lies above full scale
        rgb16 = rng.integers(0, 30000, (3, 4, 6), dtype=np.uint16)
        rgb16[2, 1, 1] = 65000  # the brightest pixel lies in the blue plane
        rgbf = rng.random((3, 4, 6)).astype(np.float32)
        rgbf[1, 0, 0] = np.nan
        camera, brightest_cases = [], []
        for name, data, mul, div, note in (
                ("unit32", unit.astype(np.float32), 255, 1, "within 0..1"), ("unit64", unit, 255, 1, "within 0..1"),
                ("counts32", counts.astype(np.float32), 1, 257, "camera units"),
                ("counts64", counts, 1, 257, "camera units"),
                ("rgb16", rgb16, 1, 257, "/ 257"), ("rgbf", rgbf, 255, 1, "within 0..1")):
            path = self.tmp / f"{name}.fits"
            fits.PrimaryHDU(data).writeto(path)
            with fits.open(path) as f:
                physical = f[0].data.astype(np.float64)  # astropy applies rgb16's BZERO
            for fmt in LOAD_FORMATS:
                camera.append((path, None, fmt, expected_load(physical, fmt, mul, div)))
                # A grey load of a cube reads the red plane alone, to its own brightest pixel.
                read = physical[0] if physical.ndim == 3 and fmt.startswith("gray") else physical
                brightest_cases.append((path, None, fmt, expected_load(physical, fmt, 255, brightest(read))))
            with self.subTest(info=name):
                self.assertInfo(path, "fits 6x4 frames=1", note)
                self.assertInfo(path, "fits 6x4 frames=1", "brightest", "--fits-scale", "brightest")
        self.assertLoads(camera, "--fits-scale", "camera")
        self.assertLoads(brightest_cases, "--fits-scale", "brightest")


class StelpWrittenFits(InteropCase):
    DATE = re.compile(r"\A\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\Z")

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.rgb = np.random.default_rng(11).integers(1, 256, (3, 7, 3), dtype=np.uint8)  # Siril's mean skips 0
        Image.fromarray(cls.rgb, "RGB").save(cls.shared / "src.bmp")
        # Engine values below 0 and beyond full scale come from float data.
        counts = np.array([[0, 128.5, 1000], [65535, 70000, 1e12], [-3, 257 * 100.5, 33.3]])
        fits.PrimaryHDU(counts).writeto(cls.shared / "counts.fits")
        cls.counts = np.flipud(np.float32(np.maximum(counts, 0) / 257).astype(np.float64))

    def assertStelpHeader(self, header, **cards):
        self.assertEqual({k: header.get(k) for k in cards}, cards)
        self.assertRegex(header.get("DATE", ""), self.DATE)
        self.assertEqual(header.get("CREATOR"), "Stelp 0.9")

    def test_written_files_hold_the_engine_values_at_their_cards_scale(self):
        """16-bit: round(e x 257) as unsigned (BZERO 32768); 32-bit: round(e x 16843009) (BZERO 2^31); half up, clamped;
        the grey of a colour buffer is (b + 2g + r) / 4, unrounded. Float: e / 255 up to 1, a colour buffer as red,
        green and blue planes. Read back on camera scale, the values come within the rounding."""
        planes = np.moveaxis(self.rgb, -1, 0).astype(np.float64)  # red, green, blue
        exact = (self.rgb.astype(np.int64) @ (1, 2, 1)) / 4
        for flags, bitpix, factor in (((), 16, 257), (("--fits32",), 32, 16843009), (("--fits-float",), -32, None)):
            for src, fmt in (("src.bmp", "gray8"), ("src.bmp", "bgr24"), ("src.bmp", "bgrfloat"),
                             ("counts.fits", "grayfloat")):
                engine = {"gray8": grey_of(self.rgb), "grayfloat": self.counts}.get(fmt, exact if factor else planes)
                stored = (np.minimum(np.floor(engine * factor + 0.5), 2**bitpix - 1) if factor
                          else np.minimum(np.float32(engine / 255), 1))
                with self.subTest(bitpix=bitpix, src=src, fmt=fmt):
                    out = self.tmp / f"{bitpix}_{fmt}.fits"
                    cli_ok("convert", self.shared / src, out, "--format", fmt, *flags)
                    with fits.open(out) as f:
                        self.assertEqual(len(f), 1)
                        self.assertStelpHeader(f[0].header, SIMPLE=True, BITPIX=bitpix, NAXIS=engine.ndim,
                                               NAXIS1=engine.shape[-1], NAXIS2=engine.shape[-2],
                                               NAXIS3=3 if engine.ndim == 3 else None, BSCALE=1 if factor else None,
                                               BZERO=2 ** (bitpix - 1) if factor else None)
                        assert_array_equal(f[0].data, np.flip(stored, axis=-2))
                    self.assertFitsverifyClean(out)
                    back = convert_raw(out, self.tmp / "back.raw", "bgrfloat" if engine.ndim == 3 else "grayfloat")
                    want = np.minimum(engine, 255) if engine.ndim == 2 else np.moveaxis(engine[::-1], 0, -1)
                    assert_allclose(back, np.ravel(want), rtol=0, atol=0.5 / factor + 2e-5 if factor else 1e-4)

    def test_siril_reads_stelp_exports(self):
        """Siril (1.0.6) states each layer's mean, minimum and maximum, those of 16-bit and float images alike in ADU of
        0..65535."""
        if not shutil.which("siril-cli"):
            self.skipTest("siril-cli is not installed")
        grey = np.floor(grey_of(self.rgb) * 257 + 0.5)
        colour = [self.rgb[..., i] / 255 * 65535 for i in range(3)]
        cli_ok("convert", self.shared / "src.bmp", self.tmp / "grey.fit", "--format", "gray8")
        cli_ok("convert", self.shared / "src.bmp", self.tmp / "colour.fit", "--format", "bgr24", "--fits-float")
        (self.tmp / "stat.ssf").write_text("requires 1.0.0\nload grey.fit\nstat\nload colour.fit\nstat\n")
        log = subprocess.run(["siril-cli", "-d", self.tmp, "-s", self.tmp / "stat.ssf"], capture_output=True,
                             text=True, timeout=120, env={"HOME": str(self.tmp), "PATH": "/usr/bin:/bin"}).stdout
        stats = re.findall(r"([\w&]+) layer: Mean: ([\d.]+),.*Min: ([\d.]+), Max: ([\d.]+)", log)
        self.assertEqual([s[0] for s in stats], ["B&W", "Red", "Green", "Blue"], log)
        for (layer, *got), values in zip(stats, (grey, *colour)):
            with self.subTest(layer=layer):
                assert_allclose(np.array(got, float), (values.mean(), values.min(), values.max()), rtol=0, atol=0.06)
