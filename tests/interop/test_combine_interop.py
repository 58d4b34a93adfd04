"""Median and sigma-clipped masters against astropy: `stelp-cli master dark` on FITS darks gives, pixel by pixel, what
astropy's median and sigma_clip (median centre, population deviation, no iteration limit) followed by a mean give on
the values Stelp loads from the same files."""
import numpy as np
from astropy.io import fits
from astropy.stats import sigma_clip
from numpy.testing import assert_allclose

from interop_util import InteropCase, cli_ok, convert_raw


def night(count, width, height, seed):
    """Darks of 0..1 with noise, hot pixels in random frames, and a satellite trail across the middle frame."""
    rng = np.random.default_rng(seed)
    frames = (0.1 + 0.02 * rng.standard_normal((count, height, width))).astype(np.float32)
    hot = rng.integers(0, frames.size, frames.size // 50)
    frames.reshape(-1)[hot] = rng.uniform(0.6, 1.0, hot.size).astype(np.float32)
    trail = count // 2
    for x in range(width):
        y = (x * height) // width
        frames[trail, y:y + 2, x] = 0.95
    return np.clip(frames, 0, 1)


class CombineAgainstAstropy(InteropCase):
    def test_masters_equal_astropy(self):
        # (frames, size, Combine, KappaLow, KappaHigh in the project, command-line options); the last in bands of 145
        # rows, three in a budget of 1 MiB.
        for n, (width, height), method, low, high, options in (
                (5, (40, 30), 1, 3, 3, ()), (6, (40, 30), 1, 3, 3, ()), (6, (40, 30), 2, 2, 3, ()),
                (7, (40, 30), 0, 2.5, 9, ("--combine", "sigma", "--kappa-high", "1.5")),
                (6, (300, 400), 2, 3, 2.5, ("--memory", "1"))):
            with self.subTest(frames=n, method=method, low=low, high=high, options=options):
                folder = self.tmp / f"{n}_{method}_{len(options)}"
                folder.mkdir()
                paths = [folder / f"dark_{i}.fits" for i in range(n)]
                for frame, path in zip(night(n, width, height, seed=n * 10 + method), paths):
                    fits.PrimaryHDU(frame).writeto(path)
                # The values as Stelp loads them, in double precision as the rules take them.
                stack = np.array([convert_raw(p, folder / "frame.raw", "grayfloat") for p in paths], np.float64)
                project = folder / "p.sjx"
                project.write_text(
                    f"[Processing]\nColour=0\nFitsScale=1\n\n[Dark]\nCombine={method}\nKappaLow={low}\nKappaHigh={high}\n"
                    + "".join(f"\n[Dark {i}]\nFileName={p}\nEnabled=1\n" for i, p in enumerate(paths, 1)))
                if "--combine" in options:  # the options replace the project's average and high kappa
                    method, high = 2, 1.5
                if method == 1:
                    want = np.median(stack, axis=0)
                else:
                    kept = sigma_clip(stack, sigma_lower=low, sigma_upper=high, maxiters=None, cenfunc="median",
                                      stdfunc="std", axis=0)
                    want = kept.mean(axis=0).filled(np.nan)
                    self.assertGreater(np.count_nonzero(kept.mask), n * width * height // 100)  # clipping happened
                cli_ok("master", "dark", project, folder / "master.raw", "--quiet", *options)
                assert_allclose(np.fromfile(folder / "master.raw", "<f4"), want.astype(np.float32), rtol=2e-7, atol=0)
