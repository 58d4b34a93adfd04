"""stelp-cli's command-line contract: `info` lines, one-line file errors with
exit status 1, and usage errors with exit status 2."""
import re
import shutil
import subprocess

import numpy as np
from astropy.io import fits
from PIL import Image

from interop_util import CLI, InteropCase, bmp_file, cli_ok, ffmpeg, run_cli


class Info(InteropCase):
    def test_info_lines(self):
        t = self.tmp
        Image.new("RGB", (7, 3), (1, 2, 3)).save(t / "pic.bmp")
        fits.PrimaryHDU(np.zeros((3, 5), np.int16)).writeto(t / "pic.fits")
        fits.PrimaryHDU(np.zeros((4, 2, 9), np.uint8)).writeto(t / "cube.fit")
        ffmpeg("-f", "lavfi", "-i", "testsrc=size=10x6:rate=5:duration=0.6", "-c:v", "rawvideo",
               "-pix_fmt", "bgr24", t / "clip.avi")
        # The kind comes from the table every command shares (content first, then the name).
        for src, copy in (("pic.bmp", "bmp.fits"), ("pic.bmp", "pic.DIB")):
            shutil.copy(t / src, t / copy)
        # A FITS file adds a line on how its values are scaled.
        for name, line, note in (("pic.bmp", "bmp 7x3 frames=1", None), ("bmp.fits", "bmp 7x3 frames=1", None),
                                 ("pic.DIB", "bmp 7x3 frames=1", None), ("pic.fits", "fits 5x3 frames=1", "/ 257"),
                                 ("cube.fit", "fits 9x2 frames=1", ""), ("clip.avi", "avi 10x6 frames=3", None)):
            with self.subTest(name=name):
                self.assertInfo(t / name, line, note)


class Errors(InteropCase):
    def test_unreadable_inputs_fail_with_one_line(self):
        fits.PrimaryHDU(np.ones((2, 3), np.int64)).writeto(self.tmp / "int64.fits")
        (self.tmp / "text.fits").write_bytes(b"hello, this is text and not an image\n" * 3)
        (self.tmp / "sixteen.bmp").write_bytes(bmp_file(3, 2, 16, [b"\x1f\x00" * 3] * 2))
        (self.tmp / "rle8.bmp").write_bytes(bmp_file(4, 2, 8, [b"\x04\x01", b"\x00\x00\x04\x02\x00\x01"],
                                                     compression=1, palette=((0, 0, 0), (255, 255, 255))))
        for name, reason in (("missing.bmp", "not found"), ("text.fits", "not a FITS file (no SIMPLE card)"),
                             ("int64.fits", "BITPIX 64 is not supported"),
                             ("sixteen.bmp", "16-bit bitmaps are not supported"),
                             ("rle8.bmp", "compressed bitmaps (compression 1) are not supported")):
            path = self.tmp / name
            for args in (("info", path), ("convert", path, self.tmp / "out.bmp")):
                with self.subTest(name=name, command=args[0]):
                    self.assertFails(args, re.escape(f"stelp-cli: {path}: {reason}"))

    def test_unknown_output_extension(self):
        Image.new("RGB", (3, 2)).save(self.tmp / "src.bmp")
        # .dib is read but, as for every other command, not written.
        for out in (self.tmp / "out.png", self.tmp / "out", self.tmp / "out.dib"):
            with self.subTest(output=out.name):
                self.assertFails(("convert", self.tmp / "src.bmp", out), re.escape(f"stelp-cli: {out}: ") + ".+")

    def test_usage_errors_exit_2(self):
        src, out = self.tmp / "src.bmp", self.tmp / "out.raw"
        Image.new("RGB", (3, 2)).save(src)
        for args in ((), ("info",), ("frobnicate", src), ("convert", src),
                     *(("convert", src, out, *extra.split()) for extra in (
                         "--bogus", "--format", "--format rgb48", "--frame", "--frame abc", "--frame 1.5",
                         "--frame 2147483648", "--frame 7frames", "--repeat", "--repeat 0", "--repeat two",
                         "--repeat 2",  # repeating needs an .avi output
                         "--fits-scale", "--fits-scale linear", "--fits32 --fits-float"))):
            with self.subTest(args=args):
                self.assertFails(args, "stelp-cli: .+", status=2)


class ProjectCommands(InteropCase):
    """Commands on a demo project that must not report success: an output that
    names a source, a project path the file system cannot resolve, frames that
    do not load, a failed write to standard output."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cli_ok("demo", cls.shared / "night")
        cls.night = cls.shared / "night"
        cls.project = cls.night / "demo.sjx"

    def test_refused_commands_write_nothing(self):
        t, night, project = self.tmp, self.night, self.project
        (t / "link.avi").symlink_to(night / "lights.avi")
        (t / "cal_001.bmp").symlink_to(night / "light_2.bmp")  # the second file of a sequence
        (t / "loop.sjx").symlink_to(t / "loop.sjx")
        long_name = t / ("x" * 300 + ".sjx")
        source = lambda path: re.escape(f"stelp-cli: {path}: is a source of the project") + ".*"  # noqa: E731
        for args, line in (
                (("process", project, night / "lights.avi"), source(night / "lights.avi")),
                (("process", project, night / "." / ".." / "night" / "LIGHTS.AVI"), source(night / "." / ".." / "night" / "LIGHTS.AVI")),
                (("process", project, t / "link.avi"), source(t / "link.avi")),
                (("process", project, t / "cal.bmp"), source(t / "cal_001.bmp")),
                (("master", "flat", project, night / "flat_2.fits"), source(night / "flat_2.fits")),
                (("master", "dark", project, night / "Dark_1.bmp"), source(night / "Dark_1.bmp")),
                (("render", project, "images", "raw", night / "light_1.bmp"), source(night / "light_1.bmp")),
                (("master", "dark", project, t / "dark.dib"), re.escape(f"stelp-cli: {t / 'dark.dib'}: unknown output extension") + ".*"),
                (("process", t / "loop.sjx", t / "out.bmp"), re.escape(f"stelp-cli: {t / 'loop.sjx'}: ") + ".*symbolic links"),
                (("master", "dark", t / "loop.sjx", t / "out.bmp"), ".*: Too many levels of symbolic links"),
                (("render", long_name, "images", "raw", t / "out.bmp"), ".*: File name too long"),
                (("demo", t / "two\nlines"), "(?s:.+): a project cannot refer to a folder whose name holds a line break")):
            with self.subTest(args=args[:2]):
                before = {p: p.stat().st_mtime_ns for p in night.iterdir()}
                self.assertFails(args, line)
                self.assertEqual({p: p.stat().st_mtime_ns for p in night.iterdir()}, before)

    def test_frames_that_do_not_load_are_named_and_fail_the_run(self):
        t = self.tmp
        cli_ok("demo", t / "night")
        (t / "night" / "light_1.bmp").unlink()
        text = (t / "night" / "demo.sjx").read_text()
        (t / "many.sjx").write_text(text.replace("Frames=4", "Frames=7"))
        for project, missing in ((t / "night" / "demo.sjx", r"light_1\.bmp: "),
                                 (t / "many.sjx", r"lights\.avi\b.*\b(frame 4|7)\b")):
            with self.subTest(project=project.name):
                out = t / project.stem
                out.mkdir()
                r = run_cli("process", project, out / "cal.bmp", "--quiet")
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertRegex(r.stderr, missing)
                self.assertEqual(len(list(out.iterdir())), 5)  # the frames that load are still written

    def test_a_failed_write_to_standard_output_fails(self):
        with open("/dev/full", "w") as full:
            r = subprocess.run([CLI, "info", self.night / "light_1.bmp"], stdout=full, stderr=subprocess.PIPE, text=True)
        self.assertEqual(r.returncode, 1)
        self.assertIn("cannot write to standard output", r.stderr)
