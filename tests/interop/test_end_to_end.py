"""The demo night through stelp-cli from end to end: `process` and `master`
write files that Pillow, astropy, fitsverify and ffmpeg accept, calibration
visibly removes the vignetting, the dust shadows and the hot pixels, and a
failed run ends with one line, exit status 1 and nothing written. A night of
astropy-written FITS frames calibrates on the camera's scale and keeps its
header cards."""
import re

import numpy as np
from astropy.io import fits
from numpy.testing import assert_allclose, assert_array_equal
from PIL import Image

from interop_util import InteropCase, cli_ok, ffmpeg_frames, ffprobe

W, H, IMAGES = 320, 240, 6  # two bitmaps and the four frames of lights.avi
# Where the demo's sensor has hot pixels, as (x, y) with y counted from the top.
HOT_PIXELS = ((17, 33), (250, 12), (101, 200), (300, 150), (64, 120),
              (180, 77), (222, 230), (5, 5), (160, 121), (290, 60))
DUST = ((90, 70), (240, 170))  # centres of the dust shadows, radius 9
FITS_KINDS = (((), 16, 257), (("--fits32",), 32, 16843009))  # flags, BITPIX, stored value of grey level 1


def edit_project(src, dst, change, expected_changes):
    """Writes `dst`, the project `src` with change(section, key, value) (None
    for no change) applied to every key, and checks how many lines changed."""
    section, lines, changed = None, [], 0
    for line in src.read_text().splitlines():
        if line.startswith("["):
            section = line.strip("[] ")
        elif "=" in line:
            key, value = line.split("=", 1)
            new = change(section, key, value)
            if new is not None and new != value:
                line, changed = f"{key}={new}", changed + 1
        lines.append(line)
    assert changed == expected_changes, f"{dst.name}: {changed} lines edited"
    dst.write_text("\n".join(lines) + "\n")
    return dst


def enabled_only(*images):
    """A change for edit_project that disables every image but `images`."""
    def change(section, key, _):
        return "0" if section.startswith("Image") and section not in images and key.startswith("Enabled") else None
    return change


def files(folder):
    return sorted(p.name for p in folder.iterdir())


def bitmap(path):
    """Pillow's mode and RGB pixels for a bitmap."""
    with Image.open(path) as im:
        return im.mode, np.asarray(im.convert("RGB"))


def grey(rgb):
    """Luminance (r + 2g + b) / 4, unrounded."""
    return np.asarray(rgb, np.float64) @ (0.25, 0.5, 0.25)


def corner_to_centre(grey, stars=True):
    """Mean of the sky medians of the four 40x40 corners over that of the
    central 40x40 box: the vignetting left (a linear sky slope cancels between
    opposite corners). Sky lies below the 95th percentile; without `stars` (a
    flat) every pixel counts."""
    sky = grey < np.percentile(grey, 95) if stars else np.ones(grey.shape, bool)
    med = lambda ys, xs: np.median(grey[ys, xs][sky[ys, xs]])  # noqa: E731
    ends = (slice(0, 40), slice(-40, None))
    return np.mean([med(y, x) for y in ends for x in ends]) / med(slice(100, 140), slice(140, 180))


def dust_depths(grey):
    """Per dust mote: the median within radius 3 of its centre over that of the
    ring 11..16 around it (1 where no shadow is left)."""
    yy, xx = np.mgrid[0:H, 0:W]
    radii = [np.hypot(xx - x, yy - y) for x, y in DUST]
    return [np.median(grey[r < 3]) / np.median(grey[(r > 11) & (r < 16)]) for r in radii]


class DemoCase(InteropCase):
    """Writes the demo night once per class."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cli_ok("demo", cls.shared / "night")
        cls.project = cls.shared / "night" / "demo.sjx"

    def assertFitsGrey(self, path, bitpix, factor, grey, **cards):
        """`path` passes fitsverify, holds `cards` and, as unsigned integers
        of BITPIX `bitpix` (BSCALE 1, BZERO half the range), `grey` (top row
        first) x `factor` within 1.5 grey levels."""
        with fits.open(path) as f:
            header, data = f[0].header, np.flipud(f[0].data)
            self.assertEqual((header["BITPIX"], header["BSCALE"], header["BZERO"], data.shape),
                             (bitpix, 1, 2 ** (bitpix - 1), (H, W)), path.name)
            self.assertEqual({k: header.get(k) for k in cards}, cards, path.name)
            self.assertLessEqual(np.abs(data / factor - grey).max(), 1.5, f"{path.name} differs from the bitmap")
        self.assertFitsverifyClean(path)


class ProcessOutputs(DemoCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        for out, flags in (("bmp/cal.bmp", ()), ("fits16/cal.fits", ()), ("fits32/cal.fits", ("--fits32",)),
                           ("fitsf/cal.fits", ("--fits-float",)), ("avi/cal.avi", ())):
            (cls.shared / out).parent.mkdir()
            cli_ok("process", cls.project, cls.shared / out, "--quiet", *flags)

    def test_bitmaps_fits_and_video_hold_the_same_frames(self):
        names = [f"cal_{i:03d}" for i in range(IMAGES)]
        self.assertEqual([files(self.shared / kind) for kind in ("bmp", "fits16", "fits32", "fitsf", "avi")],
                         [[n + ".bmp" for n in names]] + [[n + ".fits" for n in names]] * 3 + [["cal.avi"]])
        self.assertEqual(ffprobe(self.shared / "avi/cal.avi"), ("rawvideo", "bgr24", "5/1", str(IMAGES)))
        video = ffmpeg_frames(self.shared / "avi/cal.avi", W, H)
        for i, name in enumerate(names):
            with self.subTest(frame=i):
                mode, rgb = bitmap(self.shared / f"bmp/{name}.bmp")
                self.assertEqual((mode, rgb.shape), ("RGB", (H, W, 3)))
                # The 1..99.5 % stretch clips about 1 % of the values to black
                # and 0.5 % to white; the calibrated frame itself has neither.
                black, white = (rgb == 0).mean(), (rgb == 255).mean()
                self.assertTrue(0.002 < black < 0.03 and 0.002 < white < 0.02, f"black {black}, white {white}")
                assert_array_equal(video[i], rgb[..., ::-1], "video frame differs from the bitmap")
                for _, bitpix, factor in FITS_KINDS:
                    path = self.shared / f"fits{bitpix}/{name}.fits"
                    self.assertFitsGrey(path, bitpix, factor, grey(rgb), IMAGETYP="LIGHT")
                    history = " ".join(fits.getheader(path)["HISTORY"]).lower()
                    self.assertTrue("dark" in history and "flat" in history, history)
                # Float files hold the colour frame as red, green and blue planes of 0..1.
                with fits.open(self.shared / f"fitsf/{name}.fits") as f:
                    rgb_planes = np.moveaxis(np.flip(f[0].data, axis=1), 0, -1) * 255
                    self.assertLessEqual(np.abs(rgb_planes - rgb).max(), 1, "float file differs from the bitmap")
                self.assertFitsverifyClean(self.shared / f"fitsf/{name}.fits")

    def test_numbering(self):
        one = edit_project(self.project, self.tmp / "one.sjx", enabled_only("Image 1"), 5)
        for n, (project, name, flags, expected) in enumerate((
                (self.project, "cal.fits", ("--start", "998"), [f"cal_{i}.fits" for i in range(998, 1004)]),
                (self.project, "m42.bmp", (), [f"m{i:03d}.bmp" for i in range(42, 48)]),
                (one, "m42.fits", (), ["m42.fits"]))):  # a single output keeps the name given
            with self.subTest(project=project.name, name=name, flags=flags):
                (self.tmp / str(n)).mkdir()
                cli_ok("process", project, self.tmp / str(n) / name, "--quiet", *flags)
                self.assertEqual(files(self.tmp / str(n)), sorted(expected))


class Masters(DemoCase):
    PRODUCTS = ("dark", "flat", "synthetic", "hotpixels", "gradient")

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        for product in cls.PRODUCTS:
            for suffix, flags in ((".bmp", ()), ("16.fits", ()), ("32.fits", ("--fits32",))):
                cli_ok("master", product, cls.project, cls.shared / f"{product}{suffix}", "--quiet", *flags)

    def grey(self, product):
        return grey(bitmap(self.shared / f"{product}.bmp")[1])

    def test_products_open_in_pillow_and_astropy(self):
        for product in self.PRODUCTS:
            with self.subTest(product=product):
                mode, rgb = bitmap(self.shared / f"{product}.bmp")
                self.assertIn(mode, ("L", "P", "RGB"))
                cards = {"dark": dict(IMAGETYP="MASTER DARK", NCOMBINE=4),
                         "flat": dict(IMAGETYP="MASTER FLAT", NCOMBINE=4)}.get(product, {})
                for _, bitpix, factor in FITS_KINDS:
                    self.assertFitsGrey(self.shared / f"{product}{bitpix}.fits", bitpix, factor, grey(rgb), **cards)

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
    """The frames without stretch as float dumps, once with dark, flat and hot
    pixel repair and once with none of them."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.frames = {}
        for name, values in (("calibrated", dict(Stretch=0)), ("raw", dict(Stretch=0, Dark=0, Flat=0, Hot=0))):
            change = lambda section, key, _: str(values[key]) if section == "Processing" and key in values else None
            project = edit_project(cls.project, cls.shared / f"{name}.sjx", change, len(values))
            cli_ok("process", project, cls.shared / f"{name}.raw", "--quiet")
            cls.frames[name] = [np.fromfile(cls.shared / f"{name}_{i:03d}.raw", "<f4").astype(np.float64)
                                .reshape(H, W, 3) for i in range(IMAGES)]

    def test_vignetting_dust_and_hot_pixels_are_removed(self):
        for i, (raw, cal) in enumerate(zip(self.frames["raw"], self.frames["calibrated"])):
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


class Failures(DemoCase):
    def test_failed_runs_end_with_one_line_and_write_nothing(self):
        missing, nowhere = self.tmp / "missing", self.tmp / "nowhere.sjx"
        disabled = edit_project(self.project, self.shared / "disabled.sjx", enabled_only(), 6)
        cannot = lambda path: re.escape(f"stelp-cli: cannot write {path}: ") + ".+"  # noqa: E731
        for args, line in (
                (("process", self.project, missing / "cal.bmp"), cannot(missing / "cal_000.bmp")),
                (("process", self.project, missing / "cal.avi"), cannot(missing / "cal.avi")),
                (("master", "flat", self.project, missing / "flat.fits"), cannot(missing / "flat.fits")),
                (("process", nowhere, self.tmp / "cal.bmp"), re.escape(f"stelp-cli: {nowhere}: no such file")),
                (("process", disabled, self.tmp / "cal.bmp"), re.escape(f"stelp-cli: {disabled}: no enabled images")),
                (("process", self.project, self.tmp / "cal.txt"), re.escape(f"stelp-cli: {self.tmp / 'cal.txt'}: ") + ".+")):
            with self.subTest(command=args[0], project=args[-2].name, output=args[-1].name):
                self.assertFails((*args, "--quiet"), line)


def fits_project(path, lights, darks, fits_scale):
    """A grey project without stretch that subtracts the master dark of
    `darks` from `lights`; FitsScale is left out when `fits_scale` is None."""
    text = "[Version]\nMajor=0\nMinor=9\n\n[Processing]\nColour=0\nDark=1\nFlat=0\nHot=0\nStretch=0\n"
    text += "" if fits_scale is None else f"FitsScale={fits_scale}\n"
    for role, files in (("Image", lights), ("Dark", darks)):
        text += "".join(f"\n[{role} {i}]\nFileName={f}\nEnabled=1\n" for i, f in enumerate(files, 1))
    path.write_text(text)
    return path


class FitsNight(InteropCase):
    """Three 16-bit darks and a light as a camera saves them through astropy:
    about 800 counts of dark current with a hot pixel at 4000; the light adds
    2000 counts of sky and a star of 30000, and observation cards."""
    CARDS = (("DATE-OBS", "2024-03-09T21:14:05"), ("EXPTIME", 30.0), ("FILTER", "L"), ("OBJECT", "M 42"),
             ("GAIN", 120), ("CCD-TEMP", -10.5), ("BAYERPAT", "RGGB"), ("RA", 83.8221), ("DEC", -5.3911),
             ("COMMENT", "guided"), ("HISTORY", "binned 1x1 by the camera"))

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        rng = np.random.default_rng(21)

        def dark_signal():
            signal = rng.integers(780, 821, (6, 8), dtype=np.uint16)
            signal[2, 3] = 4000
            return signal
        cls.darks = [dark_signal() for _ in range(3)]
        cls.light = dark_signal() + np.uint16(2000)
        cls.light[4, 5] += 30000
        for i, dark in enumerate(cls.darks):
            fits.PrimaryHDU(dark).writeto(cls.shared / f"dark_{i}.fits")
        hdu = fits.PrimaryHDU(cls.light)
        for key, value in cls.CARDS:
            hdu.header.append((key, value))
        hdu.writeto(cls.shared / "light.fits")
        cls.dark_files = [cls.shared / f"dark_{i}.fits" for i in range(3)]
        cls.project = fits_project(cls.shared / "camera.sjx", [cls.shared / "light.fits"], cls.dark_files, 1)

    def test_dark_subtraction_on_each_scale(self):
        """On camera scale each frame reads as counts / 257, so the sky stays
        at about 7.78. On the brightest-pixel scale (and in a project saved
        before the choice) the hot pixel makes each dark's full white, so the
        darks read too bright and take the whole background down to 0."""
        light, darks = self.light.astype(np.float64), np.array(self.darks, np.float64)
        camera = (light - darks.mean(axis=0)) / 257
        self.assertAlmostEqual(np.median(camera), 7.78, delta=0.05)
        old = np.maximum(light * 255 / light.max() - np.mean([d * 255 / d.max() for d in darks], axis=0), 0)
        self.assertEqual(np.count_nonzero(old), 1)  # the star alone
        for name, scale, want in (("camera", 1, camera), ("brightest", 0, old), ("unset", None, old)):
            with self.subTest(project=name):
                project = fits_project(self.tmp / f"{name}.sjx", [self.shared / "light.fits"], self.dark_files, scale)
                cli_ok("process", project, self.tmp / f"{name}.raw", "--quiet")
                got = np.fromfile(self.tmp / f"{name}.raw", "<f4")
                assert_allclose(got, np.ravel(np.flipud(want)), rtol=0, atol=1e-3)

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
