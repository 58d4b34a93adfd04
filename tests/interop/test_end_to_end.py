"""The demo night through stelp-cli from end to end: `process` and `master` write files that Pillow, astropy, fitsverify
and ffmpeg accept, and calibration visibly removes the vignetting, the dust shadows and the hot pixels. A night of
astropy-written FITS frames keeps its header cards."""
import re

import numpy as np
from astropy.io import fits
from numpy.testing import assert_array_equal

from interop_util import DemoCase, InteropCase, cli_ok, ffmpeg_frames, ffprobe, pillow_read

W, H, IMAGES = 320, 240, 6  # two bitmaps and the four frames of lights.avi
# Where the demo's sensor has hot pixels, as (x, y) with y counted from the top.
HOT_PIXELS = ((17, 33), (250, 12), (101, 200), (300, 150), (64, 120), (180, 77), (222, 230), (5, 5), (160, 121), (290, 60))
DUST = ((90, 70), (240, 170))  # centres of the dust shadows, radius 9
FITS_KINDS = (((), 16, 257), (("--fits32",), 32, 16843009))  # flags, BITPIX, stored value of grey level 1


def edit_project(src, dst, section, pattern, repl, count):
    """Writes `dst`, the project `src` with the lines matching `pattern` in the sections whose header matches `section`
    rewritten to `repl`, and checks that `count` lines changed."""
    parts = [re.subn(pattern, repl, part, flags=re.M) if re.match(section, part) else (part, 0)
             for part in src.read_text().split("\n\n")]
    assert sum(n for _, n in parts) == count, f"{dst.name}: {sum(n for _, n in parts)} lines edited"
    dst.write_text("\n\n".join(part for part, _ in parts))
    return dst


def grey(rgb):
    """Luminance (r + 2g + b) / 4, unrounded."""
    return np.asarray(rgb, np.float64) @ (0.25, 0.5, 0.25)


def corner_to_centre(grey, stars=True):
    """The vignetting left: the mean of the sky medians of the four 40x40 corners (a linear sky slope cancels between
    opposite corners) over that of the central 40x40 box. Sky lies below the 95th percentile, or, without `stars` (a
    flat), is every pixel."""
    sky = grey < np.percentile(grey, 95) if stars else np.ones(grey.shape, bool)
    med = lambda ys, xs: np.median(grey[ys, xs][sky[ys, xs]])  # noqa: E731
    ends = (slice(0, 40), slice(-40, None))
    return np.mean([med(y, x) for y in ends for x in ends]) / med(slice(100, 140), slice(140, 180))


def dust_depths(grey):
    """Per dust mote, the median within radius 3 of its centre over that of the ring 11..16 around it (1: no shadow)."""
    yy, xx = np.mgrid[0:H, 0:W]
    radii = [np.hypot(xx - x, yy - y) for x, y in DUST]
    return [np.median(grey[r < 3]) / np.median(grey[(r > 11) & (r < 16)]) for r in radii]


class DemoOutputs(DemoCase):
    """The demo night's outputs, checked in astropy and fitsverify."""

    def assertFitsGrey(self, path, bitpix, factor, grey, **cards):
        """`path` passes fitsverify, holds `cards` and, as unsigned integers of BITPIX `bitpix` (BSCALE 1, BZERO half
        the range), `grey` (top row first) x `factor` within 1.5 grey levels."""
        with fits.open(path) as f:
            header, data = f[0].header, np.flipud(f[0].data)
            self.assertEqual((header["BITPIX"], header["BSCALE"], header["BZERO"], data.shape),
                             (bitpix, 1, 2 ** (bitpix - 1), (H, W)), path.name)
            self.assertEqual({k: header.get(k) for k in cards}, cards, path.name)
            self.assertLessEqual(np.abs(data / factor - grey).max(), 1.5, f"{path.name} differs from the bitmap")
        self.assertFitsverifyClean(path)


class ProcessOutputs(DemoOutputs):
    def test_bitmaps_fits_and_video_hold_the_same_frames(self):
        kinds = {"bmp": (".bmp", ()), "fits16": (".fits", ()), "fits32": (".fits", ("--fits32",)),
                 "fitsf": (".fits", ("--fits-float",)), "avi": (".avi", ())}
        for kind, (ext, flags) in kinds.items():
            (self.tmp / kind).mkdir()
            cli_ok("process", self.project, self.tmp / kind / f"cal{ext}", "--quiet", *flags)
        names = [f"cal_{i:03d}" for i in range(IMAGES)]
        self.assertEqual([sorted(p.name for p in (self.tmp / kind).iterdir()) for kind in kinds],
                         [[n + ".bmp" for n in names]] + [[n + ".fits" for n in names]] * 3 + [["cal.avi"]])
        self.assertEqual(ffprobe(self.tmp / "avi/cal.avi"), ("rawvideo", "bgr24", "5/1", str(IMAGES)))
        video = ffmpeg_frames(self.tmp / "avi/cal.avi", W, H)
        for i, name in enumerate(names):
            with self.subTest(frame=i):
                mode, rgb = pillow_read(self.tmp / f"bmp/{name}.bmp")
                self.assertEqual((mode, rgb.shape), ("RGB", (H, W, 3)))
                # The 1..99.5 % stretch clips about 1 % of the values to black and 0.5 % to white; the calibrated frame
                # itself has neither.
                black, white = (rgb == 0).mean(), (rgb == 255).mean()
                self.assertTrue(0.002 < black < 0.03 and 0.002 < white < 0.02, f"black {black}, white {white}")
                assert_array_equal(video[i], rgb[..., ::-1], "video frame differs from the bitmap")
                for _, bitpix, factor in FITS_KINDS:
                    path = self.tmp / f"fits{bitpix}/{name}.fits"
                    self.assertFitsGrey(path, bitpix, factor, grey(rgb), IMAGETYP="LIGHT")
                    history = " ".join(fits.getheader(path)["HISTORY"]).lower()
                    self.assertTrue("dark" in history and "flat" in history, history)
                with fits.open(self.tmp / f"fitsf/{name}.fits") as f:  # red, green and blue planes of 0..1
                    self.assertLessEqual(np.abs(np.moveaxis(np.flip(f[0].data, axis=1), 0, -1) * 255 - rgb).max(), 1)
                self.assertFitsverifyClean(self.tmp / f"fitsf/{name}.fits")

    def test_numbering(self):
        # --start, and a single output that keeps its name; how names number is the engine's affair.
        one = edit_project(self.project, self.tmp / "one.sjx", r"\[Image [23]\]", r"^(Enabled[^=]*)=1$", r"\1=0", 5)
        for n, (project, name, flags, expected) in enumerate((
                (self.project, "cal.fits", ("--start", "998"), [f"cal_{i}.fits" for i in range(998, 1004)]),
                (one, "m42.fits", (), ["m42.fits"]))):  # a single output keeps the name given
            with self.subTest(project=project.name, name=name, flags=flags):
                (self.tmp / str(n)).mkdir()
                cli_ok("process", project, self.tmp / str(n) / name, "--quiet", *flags)
                self.assertEqual(sorted(p.name for p in (self.tmp / str(n)).iterdir()), sorted(expected))


class Masters(DemoOutputs):
    PRODUCTS = ("dark", "flat", "synthetic", "hotpixels", "gradient")

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        for product in cls.PRODUCTS:
            for suffix, flags in ((".bmp", ()), ("16.fits", ()), ("32.fits", ("--fits32",))):
                cli_ok("master", product, cls.project, cls.shared / f"{product}{suffix}", "--quiet", *flags)

    def grey(self, product):
        return grey(pillow_read(self.shared / f"{product}.bmp")[1])

    def test_products_open_in_pillow_and_astropy(self):
        for product in self.PRODUCTS:
            with self.subTest(product=product):
                cards = dict(IMAGETYP=f"MASTER {product.upper()}", NCOMBINE=4) if product in ("dark", "flat") else {}
                for _, bitpix, factor in FITS_KINDS:
                    self.assertFitsGrey(self.shared / f"{product}{bitpix}.fits", bitpix, factor, self.grey(product),
                                        **cards)

    def test_master_dark_and_hot_pixel_map_find_the_hot_pixels(self):
        dark, hot = self.grey("dark"), np.zeros((H, W), bool)
        hot[tuple(zip(*HOT_PIXELS))[::-1]] = True
        assert_array_equal(dark[hot], 250, "master dark at the hot pixels")
        self.assertLessEqual(dark[~hot].max(), 20, "master dark away from the hot pixels")
        marks = self.grey("hotpixels")
        self.assertEqual(sorted(zip(*np.nonzero(marks == marks.max())[::-1])), sorted(HOT_PIXELS))

    def test_master_flat_keeps_vignetting_and_dust_the_synthetic_flat_only_vignetting(self):
        flat, synthetic, gradient = self.grey("flat"), self.grey("synthetic"), self.grey("gradient")
        self.assertLess(corner_to_centre(flat, stars=False), 0.6)
        self.assertLess(corner_to_centre(synthetic, stars=False), 0.6)
        self.assertLess(max(dust_depths(flat)), 0.85, "master flat lost the dust")
        self.assertGreater(min(dust_depths(synthetic)), 0.95, "synthetic flat kept the dust")
        # The gradient map rejects the dust shadows' steep edges and centres.
        for x, y in DUST:
            self.assertLess(gradient[y, x], 0.5 * np.median(gradient), f"gradient map at dust {(x, y)}")


class Calibration(DemoCase):
    def test_vignetting_dust_and_hot_pixels_are_removed(self):
        # The frames without stretch as float dumps, with dark, flat and hot pixel repair and with none of them.
        frames = {}
        for name, keys, count in (("calibrated", "Stretch", 1), ("raw", "Stretch|Dark|Flat|Hot", 4)):
            project = edit_project(self.project, self.tmp / f"{name}.sjx", r"\[Processing\]", rf"^({keys})=1$",
                                   r"\1=0", count)
            cli_ok("process", project, self.tmp / f"{name}.raw", "--quiet")
            frames[name] = [np.fromfile(self.tmp / f"{name}_{i:03d}.raw", "<f4").astype(np.float64).reshape(H, W, 3)
                            for i in range(IMAGES)]
        for i, (raw, cal) in enumerate(zip(frames["raw"], frames["calibrated"])):
            with self.subTest(frame=i):
                before, after = corner_to_centre(raw.mean(axis=2)), corner_to_centre(cal.mean(axis=2))
                self.assertLess(before, 0.75)
                self.assertTrue(0.92 < after < 1.08, f"corner/centre {after:.3f} after calibration")
                for mote, before, after in zip(DUST, dust_depths(raw.mean(axis=2)), dust_depths(cal.mean(axis=2))):
                    self.assertLess(before, 0.85, f"dust at {mote} before calibration")
                    self.assertTrue(0.94 < after < 1.06, f"dust at {mote}: {after:.3f} after calibration")
                for x, y in HOT_PIXELS:
                    # Hot before; repaired from its neighbours, within their range after.
                    around_raw, around = (np.delete(f[y - 2:y + 3, x - 2:x + 3].reshape(25, 3), 12, axis=0)
                                          for f in (raw, cal))
                    self.assertTrue(np.all(raw[y, x] >= 240), f"hot pixel {(x, y)} before calibration")
                    self.assertTrue(np.all(raw[y, x] - np.median(around_raw, axis=0) > 150))
                    self.assertTrue(np.all((around.min(axis=0) - 1 <= cal[y, x]) & (cal[y, x] <= around.max(axis=0) + 1)),
                                    f"hot pixel {(x, y)}: {cal[y, x]} after calibration, neighbours "
                                    f"{around.min(axis=0)}..{around.max(axis=0)}")


class FitsNight(InteropCase):
    """Three 16-bit darks of about 800 counts and a light of 2000 more with observation cards, as a camera saves them
    through astropy."""
    CARDS = (("DATE-OBS", "2024-03-09T21:14:05"), ("EXPTIME", 30.0), ("FILTER", "L"), ("OBJECT", "M 42"),
             ("GAIN", 120), ("CCD-TEMP", -10.5), ("BAYERPAT", "RGGB"), ("RA", 83.8221), ("DEC", -5.3911),
             ("COMMENT", "guided"), ("HISTORY", "binned 1x1 by the camera"))

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        rng = np.random.default_rng(21)
        frames = rng.integers(780, 821, (4, 6, 8), dtype=np.uint16)
        cls.darks = frames[:3]
        cls.dark_files = [cls.shared / f"dark_{i}.fits" for i in range(3)]
        for dark, path in zip(cls.darks, cls.dark_files):
            fits.PrimaryHDU(dark).writeto(path)
        hdu = fits.PrimaryHDU(frames[3] + np.uint16(2000))
        hdu.header.extend(cls.CARDS)
        hdu.writeto(cls.shared / "light.fits")
        # A grey project without stretch, on the camera's scale, that subtracts the master dark from the light.
        cls.project = cls.shared / "camera.sjx"
        cls.project.write_text(
            "[Processing]\nColour=0\nDark=1\nFlat=0\nHot=0\nStretch=0\nFitsScale=1\n"
            + "".join(f"\n[{role} {i}]\nFileName={f}\nEnabled=1\n" for role, files in
                      (("Image", [cls.shared / "light.fits"]), ("Dark", cls.dark_files)) for i, f in enumerate(files, 1)))

    def test_processed_and_master_fits_carry_their_cards(self):
        cli_ok("process", self.project, self.tmp / "light.fits", "--quiet")
        with fits.open(self.tmp / "light.fits") as f:
            header = f[0].header
            cards = [(c.keyword, c.value) for c in header.cards]
            self.assertEqual([c for c in cards if c[0] in dict(self.CARDS) and c[0] not in ("COMMENT", "HISTORY")],
                             [c for c in self.CARDS if c[0] not in ("COMMENT", "HISTORY")])
            rest = iter(cards)  # the source's cards keep their order, its comment and history among them
            self.assertTrue(all(c in rest for c in self.CARDS), cards)
            self.assertEqual(header["IMAGETYP"], "LIGHT")
            self.assertTrue(any("scale" in h.lower() for h in header["HISTORY"]), header["HISTORY"])
        self.assertFitsverifyClean(self.tmp / "light.fits")
        for flags, counts in (((), 1), (("--fits-float",), 65535)):  # a count in the file's unit
            with self.subTest(flags=flags):
                cli_ok("master", "dark", self.project, self.tmp / "dark.fits", "--quiet", *flags)
                with fits.open(self.tmp / "dark.fits") as f:
                    self.assertEqual((f[0].header["IMAGETYP"], f[0].header["NCOMBINE"]), ("MASTER DARK", 3))
                    self.assertLessEqual(np.abs(f[0].data * counts - np.mean(self.darks, axis=0)).max(), 0.51)
                self.assertFitsverifyClean(self.tmp / "dark.fits")
