"""FITS files exchanged with astropy and checked by fitsverify: astropy-written
images load to the normalised pixels, and the files stelp-cli writes carry the
expected cards and integers and pass fitsverify cleanly."""
import numpy as np
from astropy.io import fits
from numpy.testing import assert_array_equal
from PIL import Image

from interop_util import FORMATS, InteropCase, cli_ok, grey_of


def expected_from_fits(raw, fmt, bzero=0, bscale=1, blank=None):
    """The pixels (top row first) for raw FITS integers (bottom row first):
    the integer part of BZERO / BSCALE (in single precision) is added, nulls
    and negatives become 0, then the maximum is scaled to 255 in double
    precision and truncated, or made single precision for bgrfloat."""
    v = np.flipud(raw).astype(np.int64) + int(np.float32(bzero) / np.float32(bscale))
    v = np.where((v < 0) | (v == blank), 0, v).astype(np.float64)
    v = v * 255.0 / (v.max() or 1)
    v = v.astype(np.float32) if fmt == "bgrfloat" else np.trunc(v)
    return v if fmt == "gray8" else np.repeat(v[..., None], 3, axis=2)


class AstropyWrittenFits(InteropCase):
    def test_astropy_files_load_normalised(self):
        rng = np.random.default_rng(3)
        uint16 = rng.integers(0, 65536, (3, 5), dtype=np.uint16)
        uint16[0] = (0, 32767, 32768, 40000, 65535)
        blanked = rng.integers(-50, 1000, (3, 5), dtype=np.int16)
        blanked[0, 1] = blanked[2, 4] = 300
        blanked[1, 2] = 999  # keeps the maximum away from the null value
        cube = rng.integers(0, 500, (2, 3, 5), dtype=np.int16)
        cube[1] += 4000  # a second plane that would change both pixels and maximum
        cases = []
        for name, data, cards, scaling in (
                ("uint8", rng.integers(0, 256, (3, 5), dtype=np.uint8), {}, {}),
                ("uint16_bzero", uint16, {}, {"bzero": 32768}),
                ("int16_column", rng.integers(-3000, 3000, (7, 1), dtype=np.int16), {}, {}),
                ("int32", np.array([[-5, 0, 1, 2**31 - 1, 123456789], [2**30, 3, -2**31, 99, 1]], np.int32), {}, {}),
                ("int16_blank", blanked, {"BLANK": 300}, {"blank": 300}),
                ("int16_scaled", blanked, {"BSCALE": 2, "BZERO": 100}, {"bzero": 100, "bscale": 2}),
                ("cube_first_plane", cube, {}, {}),
                ("all_zero", np.zeros((3, 5), np.int16), {}, {})):
            path = self.tmp / f"{name}.fits"
            hdu = fits.PrimaryHDU(data)
            hdu.header.update(cards)  # set after the data: astropy does not rescale it
            hdu.writeto(path)
            with fits.open(path, do_not_scale_image_data=True) as f:  # the integers the file holds
                self.assertEqual({k: f[0].header[k] for k in cards}, cards)
                raw = f[0].data[0] if data.ndim == 3 else f[0].data
                cases += [(path, None, fmt, expected_from_fits(raw, fmt, **scaling)) for fmt in FORMATS]
        self.assertLoads(cases)


class StelpWrittenFits(InteropCase):
    def test_written_fits_match_astropy_and_fitsverify(self):
        rgb = np.random.default_rng(11).integers(0, 256, (3, 7, 3), dtype=np.uint8)
        Image.fromarray(rgb, "RGB").save(self.tmp / "src.bmp")
        # The grey written is (b + 2g + r) // 4 for a grey format, unrounded for a colour one.
        exact = (rgb.astype(np.int64) @ (1, 2, 1)) / 4
        for flags, bitpix, bscale in (((), 16, 128), (("--fits32",), 32, 32768)):
            for fmt, grey in (("gray8", grey_of(rgb)), ("bgr24", exact), ("bgrfloat", exact)):
                with self.subTest(bitpix=bitpix, fmt=fmt):
                    out = self.tmp / f"{bitpix}_{fmt}.fits"
                    cli_ok("convert", self.tmp / "src.bmp", out, "--format", fmt, *flags)
                    with fits.open(out, do_not_scale_image_data=True) as f:
                        self.assertEqual(len(f), 1)
                        cards = {k: f[0].header.get(k) for k in ("SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2",
                                                                 "BSCALE", "BZERO")}
                        self.assertEqual(cards, dict(SIMPLE=True, BITPIX=bitpix, NAXIS=2, NAXIS1=7, NAXIS2=3,
                                                     BSCALE=bscale, BZERO=0))
                        assert_array_equal(f[0].data, np.flipud(np.trunc(grey * bscale)))
                    self.assertFitsverifyClean(out)
