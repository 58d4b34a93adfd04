"""stelp-cli's command-line contract: `info` lines, one-line file errors with
exit status 1, and usage errors with exit status 2."""
import shutil

import numpy as np
from astropy.io import fits
from PIL import Image

import avi_util as av
from interop_util import InteropCase, bmp_file, run_cli


class Info(InteropCase):
    def test_info_lines(self):
        bmp, fit = self.tmp / "pic.bmp", self.tmp / "pic.fits"
        Image.new("RGB", (7, 3), (1, 2, 3)).save(bmp)
        fits.PrimaryHDU(np.zeros((3, 5), dtype=np.int16)).writeto(fit)
        fits.PrimaryHDU(np.zeros((4, 2, 9), dtype=np.uint8)).writeto(self.tmp / "cube.fit")
        Image.new("L", (1, 1)).save(self.tmp / "grey.bmp")
        # Three frames from ffmpeg, and the one frame stelp-cli writes.
        av.ffmpeg("-f", "lavfi", "-i", "testsrc=size=10x6:rate=5:duration=0.6", "-c:v", "rawvideo",
                  "-pix_fmt", "bgr24", self.tmp / "clip.avi")
        self.cli_ok("convert", bmp, self.tmp / "one.avi")
        # The content decides the kind before the extension does.
        shutil.copy(bmp, self.tmp / "bitmap_named.fits")
        shutil.copy(fit, self.tmp / "fits_named.bmp")
        shutil.copy(self.tmp / "clip.avi", self.tmp / "avi_named.fits")
        shutil.copy(bmp, self.tmp / "bitmap_named.avi")
        for name, line in (("pic.bmp", "bmp 7x3 frames=1"), ("pic.fits", "fits 5x3 frames=1"),
                           ("cube.fit", "fits 9x2 frames=1"), ("grey.bmp", "bmp 1x1 frames=1"),
                           ("clip.avi", "avi 10x6 frames=3"), ("one.avi", "avi 7x3 frames=1"),
                           ("bitmap_named.fits", "bmp 7x3 frames=1"), ("fits_named.bmp", "fits 5x3 frames=1"),
                           ("avi_named.fits", "avi 10x6 frames=3"), ("bitmap_named.avi", "bmp 7x3 frames=1")):
            with self.subTest(name=name):
                r = self.cli_ok("info", self.tmp / name)
                self.assertEqual((r.stdout, r.stderr), (line + "\n", ""))


class FileErrors(InteropCase):
    def bad_files(self):
        """(file name, bytes or None for a missing file, reason stelp-cli gives)."""
        float_fits = self.tmp / "float.fits"
        fits.PrimaryHDU(np.ones((2, 3), dtype=np.float32)).writeto(float_fits)
        return [
            ("missing.bmp", None, "not found"),
            ("x.fits", b"hello, this is text and not an image\n" * 3, "not a FITS file (no SIMPLE card)"),
            ("float.fits", float_fits.read_bytes(), "BITPIX -32 is not supported"),
            ("sixteen.bmp", bmp_file(3, 2, 16, [b"\x1f\x00" * 3] * 2), "16-bit bitmaps are not supported"),
            ("rle8.bmp", bmp_file(4, 2, 8, [b"\x04\x01", b"\x00\x00\x04\x02\x00\x01"], compression=1,
                                  palette=((0, 0, 0), (255, 255, 255), (9, 9, 9))),
             "compressed bitmaps (compression 1) are not supported"),
        ]

    def test_unreadable_inputs_fail_with_one_line(self):
        for name, data, reason in self.bad_files():
            path = self.tmp / name
            if data is not None:
                path.write_bytes(data)
            for args in (("info", path), ("convert", path, self.tmp / "out.bmp")):
                with self.subTest(name=name, command=args[0]):
                    r = run_cli(*args)
                    self.assertEqual(r.returncode, 1, r.stderr)
                    self.assertEqual(r.stdout, "")
                    self.assertEqual(r.stderr, f"stelp-cli: {path}: {reason}\n")
                    self.assertFalse((self.tmp / "out.bmp").exists(), "failed convert left an output file")

    def test_unknown_output_extension_writes_nothing(self):
        src = self.tmp / "src.bmp"
        Image.new("RGB", (3, 2)).save(src)
        for name in ("out.png", "out.txt", "out"):
            with self.subTest(output=name):
                out = self.tmp / name
                r = run_cli("convert", src, out)
                self.assertEqual(r.returncode, 1)
                lines = r.stderr.splitlines()
                self.assertEqual(len(lines), 1, r.stderr)
                self.assertTrue(lines[0].startswith(f"stelp-cli: {out}: "), lines[0])
                self.assertFalse(out.exists())


class UsageErrors(InteropCase):
    def test_usage_errors_exit_2(self):
        src = self.tmp / "src.bmp"
        Image.new("RGB", (3, 2)).save(src)
        out = self.tmp / "out.raw"
        frame_values = ("abc", "1.5", "", "0x1", "1e3", "2147483648", "-2147483649", "7frames")
        for args in (("convert", src, out, "--format", "rgb48"), ("convert", src, out, "--format"),
                     ("convert", src, out, "--bogus"), ("convert", src), ("info",), ("frobnicate", src), (),
                     ("convert", src, out, "--frame"),
                     *(("convert", src, out, "--frame", value) for value in frame_values),
                     ("convert", src, out, "--repeat"), ("convert", src, out, "--repeat", "0"),
                     ("convert", src, out, "--repeat", "-2"), ("convert", src, out, "--repeat", "two"),
                     ("convert", src, out, "--repeat", "2")):  # repeating needs an .avi output
            with self.subTest(args=args):
                r = run_cli(*args)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertTrue(r.stderr.startswith("stelp-cli: "), r.stderr)
                self.assertFalse(out.exists())
