"""stelp-cli's command-line contract: `info` lines, file errors in one line with exit status 1 and nothing written, and
usage errors with exit status 2."""
import re
import subprocess

import numpy as np
from astropy.io import fits
from numpy.testing import assert_array_equal
from PIL import Image

from interop_util import CLI, DemoCase, InteropCase, bmp_file, cli_ok, ffmpeg, run_cli


class ImageCommands(InteropCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        s = cls.shared
        Image.new("RGB", (7, 3), (1, 2, 3)).save(s / "pic.bmp")
        ffmpeg("-f", "lavfi", "-i", "testsrc=size=10x6:rate=5:duration=0.6", "-c:v", "rawvideo",
               "-pix_fmt", "bgr24", s / "clip.avi")
        fits.PrimaryHDU(np.ones((2, 3), np.int64)).writeto(s / "int64.fits")
        (s / "sixteen.bmp").write_bytes(bmp_file(3, 2, 16, [b"\x1f\x00" * 3] * 2))

    def test_file_errors_exit_1(self):
        s, t = self.shared, self.tmp
        cases = [((command, s / name, *((t / "out.bmp",) if command == "convert" else ())),
                  re.escape(f"stelp-cli: {s / name}: {reason}"))
                 for name, reason in (("missing.bmp", "not found"), ("int64.fits", "BITPIX 64 is not supported"),
                                      ("sixteen.bmp", "16-bit bitmaps are not supported"))
                 for command in ("info", "convert")]
        # .dib is read but, as for every other command, not written.
        cases += [(("convert", s / "pic.bmp", t / out), re.escape(f"stelp-cli: {t / out}: ") + ".+")
                  for out in ("out.png", "out", "out.dib")]
        cases += [(("convert", s / "clip.avi", t / out, "--frame", frame),
                   re.escape(f"stelp-cli: {s / 'clip.avi'}: frame {frame} does not exist") + ".*")
                  for frame in (-1, 3) for out in ("out.raw", "out.avi")]
        for args, line in cases:
            with self.subTest(args=args):
                self.assertFails(args, line)

    def test_usage_errors_exit_2(self):
        src, out = self.shared / "pic.bmp", self.tmp / "out.raw"
        for args in ((), ("info",), ("frobnicate", src), ("convert", src),
                     *(("convert", src, out, *extra.split()) for extra in (
                         "--bogus", "--format", "--format rgb48", "--frame", "--frame abc", "--frame 1.5",
                         "--frame 2147483648", "--frame 7frames", "--repeat", "--repeat 0", "--repeat two",
                         "--repeat 2",  # repeating needs an .avi output
                         "--fits-scale", "--fits-scale linear", "--fits32 --fits-float")),
                     *(("master", "dark", self.tmp / "p.sjx", out, *extra.split()) for extra in (
                         "--combine mean", "--kappa-low 0.5", "--kappa-high 3x", "--memory 0", "--memory 1G"))):
            with self.subTest(args=args):
                self.assertFails(args, "stelp-cli: .+", status=2)


class ProjectCommands(DemoCase):
    """Commands on a demo project that must not report success: an output that names a source, a project path the file
    system cannot resolve, a project without enabled images, an output that cannot be written, frames that do not load,
    a failed write to standard output."""

    def test_refused_commands_write_nothing(self):
        # How paths are spelt (case, "..", links) is mostly the engine's affair; here each command meets a conflict.
        t, night, project = self.tmp, self.night, self.project
        (t / "loop.sjx").symlink_to(t / "loop.sjx")
        long_name, missing, nowhere = t / ("x" * 300 + ".sjx"), t / "missing", t / "nowhere.sjx"
        disabled = self.shared / "disabled.sjx"
        disabled.write_text(re.sub(r"^(Enabled.*)=1$", r"\1=0", project.read_text(), flags=re.M))
        source = lambda path: re.escape(f"stelp-cli: {path}: is a source of the project") + ".*"  # noqa: E731
        cannot = lambda path: re.escape(f"stelp-cli: cannot write {path}: ") + ".+"  # noqa: E731
        for args, line in (
                (("process", project, night / "lights.avi"), source(night / "lights.avi")),
                (("master", "flat", project, night / "flat_2.fits"), source(night / "flat_2.fits")),
                (("render", project, "images", "raw", night / "light_1.bmp"), source(night / "light_1.bmp")),
                (("master", "dark", project, t / "dark.dib"), re.escape(f"stelp-cli: {t / 'dark.dib'}: unknown output extension") + ".*"),
                (("process", project, t / "cal.txt", "--quiet"), re.escape(f"stelp-cli: {t / 'cal.txt'}: ") + ".+"),
                (("process", project, missing / "cal.bmp", "--quiet"), cannot(missing / "cal_000.bmp")),
                (("process", project, missing / "cal.avi", "--quiet"), cannot(missing / "cal.avi")),
                (("master", "flat", project, missing / "flat.fits", "--quiet"), cannot(missing / "flat.fits")),
                (("process", nowhere, t / "cal.bmp", "--quiet"), re.escape(f"stelp-cli: {nowhere}: no such file")),
                (("process", disabled, t / "cal.bmp", "--quiet"), re.escape(f"stelp-cli: {disabled}: no enabled images")),
                (("master", "dark", t / "loop.sjx", t / "out.bmp"),
                 re.escape(f"stelp-cli: {t / 'loop.sjx'}: ") + ".*Too many levels of symbolic links"),
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
        (t / "out").mkdir()
        r = run_cli("process", t / "night" / "demo.sjx", t / "out" / "cal.bmp", "--quiet")
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertRegex(r.stderr, r"light_1\.bmp: ")
        self.assertEqual(len(list((t / "out").iterdir())), 5)  # the frames that load are still written

    def test_render_at_a_scale_about_a_pixel(self):
        t, night, project = self.tmp, self.night, self.project
        frame = np.array(Image.open(night / "dark_1.bmp").convert("RGB"))
        h, w = frame.shape[:2]  # 320 x 240, so that 1:2 about the middle shows every second pixel
        cases = (("1/2", (w // 2, h // 2), (w // 2, h // 2), frame[::2, ::2]),
                 ("8", (8, 8), (17, 33), np.tile(frame[33, 17], (8, 8, 1))))  # (17, 33): a hot pixel, alone at 8:1
        for scale, size, (x, y), want in cases:
            with self.subTest(scale=scale):
                cli_ok("render", project, "darks", "raw", t / "view.bmp", "--size", f"{size[0]}x{size[1]}",
                       "--scale", scale, "--center", f"{x},{y}", "--quiet")
                assert_array_equal(np.array(Image.open(t / "view.bmp").convert("RGB")), want)
        # The display stretch shows a dark brighter (how much, and what it leaves alone, is the engine's affair).
        for extra in ((), ("--display-stretch",)):
            cli_ok("render", project, "darks", "averaged", t / f"dark{len(extra)}.bmp", "--quiet", *extra)
        self.assertNotEqual((t / "dark0.bmp").read_bytes(), (t / "dark1.bmp").read_bytes())
        self.assertEqual(run_cli("render", project, "darks", "raw", t / "c.bmp", "--center", "1,1").returncode, 2)

    def test_a_failed_write_to_standard_output_fails(self):
        with open("/dev/full", "w") as full:
            r = subprocess.run([CLI, "info", self.night / "light_1.bmp"], stdout=full, stderr=subprocess.PIPE, text=True)
        self.assertEqual(r.returncode, 1)
        self.assertIn("cannot write to standard output", r.stderr)
