"""The demo night through stelp-cli from end to end: `process` and `master`
write files that Pillow, astropy, fitsverify and ffmpeg accept, calibration
visibly removes the vignetting, the dust shadows and the hot pixels, and a
failed run ends with one line, exit status 1 and nothing written."""
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

import numpy as np
from astropy.io import fits
from PIL import Image

import avi_util as av
from interop_util import InteropCase, run_cli

WIDTH, HEIGHT = 320, 240
IMAGES = 6  # two bitmaps and the four frames of lights.avi
# Where the demo's sensor has hot pixels, as (x, y) with y counted from the top.
HOT_PIXELS = ((17, 33), (250, 12), (101, 200), (300, 150), (64, 120),
              (180, 77), (222, 230), (5, 5), (160, 121), (290, 60))
DUST = ((90, 70), (240, 170))  # centres of the dust shadows, radius 9
PRODUCTS = ("dark", "flat", "synthetic", "hotpixels", "gradient")
FITS_KINDS = (((), 16, 128, ">i2"), (("--fits32",), 32, 32768, ">i4"))


def edit_project(text, change):
    """`text` of a project file with values replaced: change(section, key,
    value) returns the new value or None to keep the line. Returns the new
    text and how many lines changed."""
    section, lines, changed = None, [], 0
    for line in text.splitlines(keepends=True):
        head = re.fullmatch(r"\[(.*)\]\s*", line)
        if head:
            section = head.group(1)
        elif "=" in line:
            key, value = line.rstrip("\r\n").split("=", 1)
            new = change(section, key, value)
            if new is not None and new != value:
                line = f"{key}={new}\n"
                changed += 1
        lines.append(line)
    return "".join(lines), changed


def files_under(folder):
    return sorted(str(p.relative_to(folder)) for p in Path(folder).rglob("*"))


def bitmap_bgr(path):
    with Image.open(path) as im:
        im.load()
        return im.mode, im.size, np.asarray(im.convert("RGB"))[..., ::-1]


def fits_integers(path):
    """BITPIX, BSCALE, BZERO and the stored integers (top row first) of a FITS file."""
    with fits.open(path, do_not_scale_image_data=True) as f:
        header, data = f[0].header, f[0].data
        return header["BITPIX"], header["BSCALE"], header["BZERO"], np.flipud(data)


def grey_bgr(bgr):
    """Luminance (b + 2g + r) / 4 of an (h, w, 3) BGR array, unrounded."""
    bgr = np.asarray(bgr, dtype=np.float64)
    return (bgr[..., 0] + 2 * bgr[..., 1] + bgr[..., 2]) / 4


def sky_mask(grey):
    """The pixels of a frame that are sky and not star: below its 95th percentile."""
    return grey < np.percentile(grey, 95)


def corner_to_centre(grey, stars=True):
    """Mean of the sky medians of the four 40x40 corners over the sky median
    of the central 40x40 box. The sky's linear slope cancels in the mean of
    opposite corners, so this is the vignetting left in the frame. Without
    `stars` (a flat) every pixel counts."""
    mask = sky_mask(grey) if stars else np.ones(grey.shape, bool)
    c = 40
    corners = [(slice(0, c), slice(0, c)), (slice(0, c), slice(-c, None)),
               (slice(-c, None), slice(0, c)), (slice(-c, None), slice(-c, None))]
    centre = (slice(HEIGHT // 2 - 20, HEIGHT // 2 + 20), slice(WIDTH // 2 - 20, WIDTH // 2 + 20))
    corner = np.mean([np.median(grey[b][mask[b]]) for b in corners])
    return corner / np.median(grey[centre][mask[centre]])


def dust_depths(grey):
    """Per dust mote: median inside radius 3 of its centre over the median of
    the ring 11..16 around it (1 where no shadow is left)."""
    yy, xx = np.mgrid[0:HEIGHT, 0:WIDTH]
    depths = []
    for cx, cy in DUST:
        r = np.hypot(xx - cx, yy - cy)
        depths.append(np.median(grey[r < 3]) / np.median(grey[(r > 11) & (r < 16)]))
    return depths


def neighbours(plane, x, y, reach=2):
    """The values within `reach` of (x, y), the pixel itself left out."""
    window = plane[max(y - reach, 0):y + reach + 1, max(x - reach, 0):x + reach + 1]
    cy, cx = y - max(y - reach, 0), x - max(x - reach, 0)
    return np.delete(window.ravel(), cy * window.shape[1] + cx)


class DemoCase(InteropCase):
    """Writes the demo night once per class into a folder of its own."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        tmp = tempfile.TemporaryDirectory()
        cls.addClassCleanup(tmp.cleanup)
        cls.night = Path(tmp.name) / "night"
        r = run_cli("demo", cls.night)
        if r.returncode != 0:
            raise AssertionError(f"stelp-cli demo failed: {r.stderr}")
        cls.project = cls.night / "demo.sjx"

    @classmethod
    def edited_project(cls, name, change, expected_changes):
        """A copy of demo.sjx beside it with values replaced (see edit_project)."""
        text, changed = edit_project(cls.project.read_text(), change)
        if changed != expected_changes:
            raise AssertionError(f"{name}: {changed} lines edited, expected {expected_changes}")
        path = cls.night / name
        path.write_text(text)
        return path

    @classmethod
    def settings(cls, name, **values):
        """A copy of demo.sjx with [Processing] keys set to `values` (each one
        different from the demo's)."""
        return cls.edited_project(
            name, lambda section, key, value: str(values[key]) if section == "Processing" and key in values else None,
            len(values))


class ProcessOutputs(DemoCase):
    def sequence(self, name, *flags):
        out = self.tmp / f"{name}{''.join(flags)}"
        out.mkdir()
        self.cli_ok("process", self.project, out / name, "--quiet", *flags)
        return out

    def test_bitmap_sequence_is_stretched_rgb(self):
        out = self.sequence("cal.bmp")
        self.assertEqual(files_under(out), [f"cal_{i:03d}.bmp" for i in range(IMAGES)])
        for i in range(IMAGES):
            with self.subTest(frame=i):
                mode, size, bgr = bitmap_bgr(out / f"cal_{i:03d}.bmp")
                self.assertEqual((mode, size), ("RGB", (WIDTH, HEIGHT)))
                # The 1..99.5 % stretch clips about 1 % of the values to black
                # and 0.5 % to white; the calibrated frame itself has neither.
                black, white = (bgr == 0).mean(), (bgr == 255).mean()
                self.assertTrue(0.002 < black < 0.03, f"{black:.4f} of the values are 0")
                self.assertTrue(0.002 < white < 0.02, f"{white:.4f} of the values are 255")

    def test_fits_sequences_match_the_bitmaps_and_verify(self):
        bitmaps = self.sequence("cal.bmp")
        for flags, bitpix, bscale, dtype in FITS_KINDS:
            out = self.sequence("cal.fits", *flags)
            self.assertEqual(files_under(out), [f"cal_{i:03d}.fits" for i in range(IMAGES)])
            for i in range(IMAGES):
                with self.subTest(bitpix=bitpix, frame=i):
                    path = out / f"cal_{i:03d}.fits"
                    got_bitpix, got_bscale, bzero, data = fits_integers(path)
                    self.assertEqual((got_bitpix, got_bscale, bzero), (bitpix, bscale, 0))
                    self.assertEqual((data.shape, data.dtype), ((HEIGHT, WIDTH), np.dtype(dtype)))
                    with fits.open(path) as f:
                        self.assertEqual(f[0].data.shape, (HEIGHT, WIDTH))
                    # The FITS holds the grey of the same frame, scaled by BSCALE.
                    grey = grey_bgr(bitmap_bgr(bitmaps / f"cal_{i:03d}.bmp")[2])
                    diff = np.abs(data.astype(np.float64) / bscale - grey).max()
                    self.assertLessEqual(diff, 1.5, "FITS grey differs from the bitmap")
                    self.fitsverify(path)

    def test_video_holds_the_bitmap_frames(self):
        bitmaps = self.sequence("cal.bmp")
        video = self.tmp / "cal.avi"
        self.cli_ok("process", self.project, video, "--quiet")
        self.assertFalse(any(self.tmp.glob("cal_*.avi")), "a video output was numbered")
        probe = av.ffprobe_video(video)
        self.assertEqual((probe["codec_name"], probe["r_frame_rate"], probe["nb_read_frames"]),
                         ("rawvideo", "5/1", str(IMAGES)))
        frames = av.ffmpeg_bgr_frames(video, WIDTH, HEIGHT)
        self.assertEqual(len(frames), IMAGES)
        for i in range(IMAGES):
            with self.subTest(frame=i):
                self.assertPixels(frames[i], bitmap_bgr(bitmaps / f"cal_{i:03d}.bmp")[2], f"frame {i}")

    def test_sequence_numbering(self):
        for name, flags, expected in (
                ("cal.bmp", ("--start", "5"), [f"cal_{i:03d}.bmp" for i in range(5, 5 + IMAGES)]),
                ("cal.fits", ("--start", "998"), [f"cal_{i}.fits" for i in range(998, 998 + IMAGES)]),
                ("m42.bmp", (), [f"m{i:03d}.bmp" for i in range(42, 42 + IMAGES)]),
                ("cal.raw", (), [f"cal_{i:03d}.raw" for i in range(IMAGES)])):
            with self.subTest(name=name, flags=flags):
                out = self.tmp / f"{name}{'_'.join(flags)}"
                out.mkdir()
                self.cli_ok("process", self.project, out / name, "--quiet", *flags)
                self.assertEqual(files_under(out), sorted(expected))

    def test_single_enabled_image_keeps_the_output_name(self):
        # Only [Image 1] stays enabled: one output, named as given.
        project = self.edited_project(
            "one.sjx", lambda section, key, value:
            "0" if section in ("Image 2", "Image 3") and key.startswith("Enabled") else None, 5)
        for name in ("cal.bmp", "m42.fits", "cal.avi"):
            with self.subTest(name=name):
                out = self.tmp / f"one_{name}"
                out.mkdir()
                self.cli_ok("process", project, out / name, "--quiet")
                self.assertEqual(files_under(out), [name])

    def fitsverify(self, path):
        tool = shutil.which("fitsverify")
        self.assertIsNotNone(tool, "fitsverify is not installed")
        quiet = subprocess.run([tool, "-q", str(path)], capture_output=True, text=True, timeout=30,
                               stdin=subprocess.DEVNULL)
        self.assertEqual(quiet.returncode, 0, quiet.stdout + quiet.stderr)
        self.assertIn("verification OK", quiet.stdout)
        full = subprocess.run([tool, str(path)], capture_output=True, text=True, timeout=30,
                              stdin=subprocess.DEVNULL)
        found = re.search(r"found (\d+) warning\(s\) and (\d+) error\(s\)", full.stdout)
        self.assertIsNotNone(found, full.stdout)
        self.assertEqual(found.groups(), ("0", "0"), full.stdout)


class Masters(DemoCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.out = cls.night.parent / "masters"
        cls.out.mkdir()
        for product in PRODUCTS:
            for name, flags in ((f"{product}.bmp", ()), (f"{product}16.fits", ()),
                                (f"{product}32.fits", ("--fits32",))):
                r = run_cli("master", product, cls.project, cls.out / name, "--quiet", *flags)
                if r.returncode != 0:
                    raise AssertionError(f"stelp-cli master {product} {name}: {r.stderr}")

    def grey(self, product):
        mode, size, bgr = bitmap_bgr(self.out / f"{product}.bmp")
        return grey_bgr(bgr)

    def test_products_open_in_pillow_and_astropy(self):
        for product in PRODUCTS:
            with self.subTest(product=product):
                mode, size, bgr = bitmap_bgr(self.out / f"{product}.bmp")
                self.assertIn(mode, ("L", "P", "RGB"))
                self.assertEqual(size, (WIDTH, HEIGHT))
                grey = grey_bgr(bgr)
                for _, bitpix, bscale, dtype in FITS_KINDS:
                    path = self.out / f"{product}{bitpix}.fits"
                    got_bitpix, got_bscale, bzero, data = fits_integers(path)
                    self.assertEqual((got_bitpix, got_bscale, bzero), (bitpix, bscale, 0), path.name)
                    self.assertEqual((data.shape, data.dtype), ((HEIGHT, WIDTH), np.dtype(dtype)), path.name)
                    diff = np.abs(data.astype(np.float64) / bscale - grey).max()
                    self.assertLessEqual(diff, 1.5, f"{path.name} differs from {product}.bmp")

    def test_master_dark_and_hot_pixel_map_find_the_hot_pixels(self):
        dark = self.grey("dark")
        hot = np.zeros((HEIGHT, WIDTH), bool)
        for x, y in HOT_PIXELS:
            hot[y, x] = True
        np.testing.assert_array_equal(dark[hot], 250, err_msg="master dark at the hot pixels")
        self.assertLessEqual(dark[~hot].max(), 20, "master dark away from the hot pixels")
        marks = self.grey("hotpixels")
        found = sorted(zip(*np.nonzero(marks == marks.max())[::-1]))
        self.assertEqual(found, sorted(HOT_PIXELS))

    def test_master_flat_keeps_vignetting_and_dust_the_synthetic_flat_only_vignetting(self):
        flat, synthetic = self.grey("flat"), self.grey("synthetic")
        self.assertLess(corner_to_centre(flat, stars=False), 0.6)
        self.assertLess(corner_to_centre(synthetic, stars=False), 0.6)
        for mote, depth in zip(DUST, dust_depths(flat)):
            self.assertLess(depth, 0.85, f"master flat: dust at {mote}")
        for mote, depth in zip(DUST, dust_depths(synthetic)):
            self.assertGreater(depth, 0.95, f"synthetic flat: dust at {mote}")
        # The gradient map rejects the dust shadows' steep edges and centres.
        gradient = self.grey("gradient")
        for x, y in DUST:
            self.assertLess(gradient[y, x], 0.5 * np.median(gradient), f"gradient map at dust {(x, y)}")


class Calibration(DemoCase):
    """The frames without stretch, once with dark, flat and hot pixel repair
    and once with none of them, as float dumps."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        both = cls.night.parent / "frames"
        both.mkdir()
        runs = (("calibrated", cls.settings("calibrated.sjx", Stretch=0)),
                ("uncalibrated", cls.settings("uncalibrated.sjx", Stretch=0, Dark=0, Flat=0, Hot=0)))
        cls.frames = {}
        for name, project in runs:
            r = run_cli("process", project, both / f"{name}.raw", "--quiet")
            if r.returncode != 0:
                raise AssertionError(f"stelp-cli process {project.name}: {r.stderr}")
            frames = []
            for i in range(IMAGES):
                data = np.fromfile(both / f"{name}_{i:03d}.raw", "<f4")
                if data.size != WIDTH * HEIGHT * 3:
                    raise AssertionError(f"{name}_{i:03d}.raw holds {data.size} floats")
                frames.append(data.reshape(HEIGHT, WIDTH, 3).astype(np.float64))
            cls.frames[name] = frames

    def pairs(self):
        """(frame number, uncalibrated, calibrated) for every image."""
        return enumerate(zip(self.frames["uncalibrated"], self.frames["calibrated"]))

    def test_vignetting_is_flattened(self):
        for i, (raw, cal) in self.pairs():
            with self.subTest(frame=i):
                before, after = corner_to_centre(raw.mean(axis=2)), corner_to_centre(cal.mean(axis=2))
                self.assertLess(before, 0.75)
                self.assertTrue(0.92 < after < 1.08, f"corner/centre {after:.3f} after calibration")

    def test_dust_shadows_are_filled(self):
        for i, (raw, cal) in self.pairs():
            with self.subTest(frame=i):
                for mote, before, after in zip(DUST, dust_depths(raw.mean(axis=2)), dust_depths(cal.mean(axis=2))):
                    self.assertLess(before, 0.85, f"dust at {mote} before calibration")
                    self.assertTrue(0.94 < after < 1.06, f"dust at {mote}: {after:.3f} after calibration")

    def test_hot_pixels_are_repaired(self):
        for i, (raw, cal) in self.pairs():
            with self.subTest(frame=i):
                for x, y in HOT_PIXELS:
                    for c in range(3):
                        around_raw = neighbours(raw[..., c], x, y)
                        self.assertGreaterEqual(raw[y, x, c], 240, f"hot pixel {(x, y)} before calibration")
                        self.assertGreater(raw[y, x, c] - np.median(around_raw), 150)
                        # Repaired from its neighbours, it lies within their range.
                        around = neighbours(cal[..., c], x, y)
                        self.assertTrue(around.min() - 1 <= cal[y, x, c] <= around.max() + 1,
                                        f"hot pixel {(x, y)} channel {c}: {cal[y, x, c]:.1f} after calibration, "
                                        f"neighbours {around.min():.1f}..{around.max():.1f}")


class Failures(DemoCase):
    def assertFailsWith(self, args, line):
        """stelp-cli exits 1 with the one stderr `line` (a str, or a compiled
        pattern it must match) and writes nothing into the temporary folder."""
        before = files_under(self.tmp)
        r = run_cli(*args, "--quiet")
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(r.stdout, "")
        lines = r.stderr.splitlines()
        self.assertEqual(len(lines), 1, r.stderr)
        if isinstance(line, str):
            self.assertEqual(lines[0], line)
        else:
            self.assertRegex(lines[0], line)
        self.assertEqual(files_under(self.tmp), before, "a failed run left files behind")

    def test_output_folder_that_does_not_exist(self):
        missing = self.tmp / "missing"
        for args in (("process", self.project, missing / "cal.bmp"),
                     ("process", self.project, missing / "cal.fits"),
                     ("process", self.project, missing / "cal.raw"),
                     ("process", self.project, missing / "cal.avi"),
                     ("master", "dark", self.project, missing / "dark.bmp"),
                     ("master", "flat", self.project, missing / "flat.fits")):
            with self.subTest(output=args[-1].name, command=args[0]):
                stem = re.escape(str(missing / args[-1].stem))
                self.assertFailsWith(args, re.compile(
                    rf"^stelp-cli: cannot write {stem}(_000)?{re.escape(args[-1].suffix)}: .+$"))
                self.assertFalse(missing.exists())

    def test_project_that_does_not_exist(self):
        project = self.tmp / "nowhere.sjx"
        self.assertFailsWith(("process", project, self.tmp / "cal.bmp"), f"stelp-cli: {project}: no such file")

    def test_project_without_enabled_images(self):
        project = self.edited_project(
            "disabled.sjx", lambda section, key, value:
            "0" if section.startswith("Image ") and key.startswith("Enabled") else None, 6)
        self.assertFailsWith(("process", project, self.tmp / "cal.bmp"), f"stelp-cli: {project}: no enabled images")

    def test_unknown_output_extension(self):
        for name in ("cal.txt", "cal"):
            with self.subTest(output=name):
                out = self.tmp / name
                self.assertFailsWith(("process", self.project, out), re.compile(rf"^stelp-cli: {re.escape(str(out))}: .+$"))
