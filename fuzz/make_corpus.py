#!/usr/bin/python3
"""Writes the seed corpora for the fuzz targets into fuzz/corpus/.

Each seed is one selector byte followed by a complete, valid image file. The
fuzz targets turn the selector into the requested pixel format
(selector % 6 + 1), so the seeds spread the six formats over the files.

Only the standard library is used and the output is the same on every run:
    /usr/bin/python3 fuzz/make_corpus.py
"""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
FITS_DIR = os.path.join(HERE, "corpus", "fits")
BITMAP_DIR = os.path.join(HERE, "corpus", "bitmap")

FITS_BLOCK = 2880

# Selector bytes for the six formats: Gray8, Gray16, Gray32, GrayFloat,
# Bgr24, BgrFloat.
GRAY8, GRAY16, GRAY32, GRAY_FLOAT, BGR24, BGR_FLOAT = range(6)


class Lcg:
    """A small fixed pseudo-random sequence, so pixel data is varied but the
    files never change between runs."""

    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFF

    def next(self):
        self.state = (self.state * 1664525 + 1013904223) & 0xFFFFFFFF
        return self.state >> 8

    def next32(self):
        return ((self.next() << 8) ^ self.next()) & 0xFFFFFFFF


def write_seed(directory, name, selector, payload):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(bytes([selector]) + payload)


# --- FITS -----------------------------------------------------------------


def card(keyword, value=None, comment=None):
    """One 80-character header card, values right-justified to column 30."""
    if value is None:
        text = keyword.ljust(80)
    else:
        text = keyword.ljust(8) + "= " + str(value).rjust(20)
        if comment:
            text += " / " + comment
    assert len(text) <= 80, text
    return text.ljust(80).encode("ascii")


def pad(data, fill):
    remainder = len(data) % FITS_BLOCK
    return data if remainder == 0 else data + fill * (FITS_BLOCK - remainder)


def fits_file(cards, data):
    header = b"".join(cards) + card("END")
    return pad(header, b" ") + pad(data, b"\0")


def fits_data(bitpix, count, seed, lo, hi):
    rng = Lcg(seed)
    fmt = {8: ">B", 16: ">h", 32: ">i"}[bitpix]
    span = hi - lo + 1
    return b"".join(struct.pack(fmt, lo + rng.next32() % span) for _ in range(count))


def make_fits():
    seeds = []

    # 8-bit unsigned, no scaling.
    w, h = 24, 16
    seeds.append(("fits8_plain.fits", GRAY8, fits_file(
        [card("SIMPLE", "T"), card("BITPIX", 8), card("NAXIS", 2),
         card("NAXIS1", w), card("NAXIS2", h)],
        fits_data(8, w * h, 1, 0, 255))))

    # 16-bit unsigned stored with BZERO 32768, as cameras write it.
    w, h = 32, 20
    seeds.append(("fits16_bzero.fits", GRAY_FLOAT, fits_file(
        [card("SIMPLE", "T"), card("BITPIX", 16), card("NAXIS", 2),
         card("NAXIS1", w), card("NAXIS2", h),
         card("BZERO", "32768.0"), card("BSCALE", "1.0")],
        fits_data(16, w * h, 2, -32768, 32767))))

    # 16-bit signed with a BLANK value that occurs in the data.
    w, h = 17, 13
    data = bytearray(fits_data(16, w * h, 3, -200, 3000))
    for i in range(0, w * h, 7):
        data[2 * i:2 * i + 2] = struct.pack(">h", -1)
    seeds.append(("fits16_blank.fits", GRAY16, fits_file(
        [card("SIMPLE", "T"), card("BITPIX", 16), card("NAXIS", 2),
         card("NAXIS1", w), card("NAXIS2", h), card("BLANK", -1)],
        bytes(data))))

    # 32-bit unsigned stored with BZERO 2147483648.
    w, h = 16, 16
    seeds.append(("fits32_bzero.fits", GRAY32, fits_file(
        [card("SIMPLE", "T"), card("BITPIX", 32), card("NAXIS", 2),
         card("NAXIS1", w), card("NAXIS2", h),
         card("BZERO", "2147483648.0"), card("BSCALE", "1.0")],
        fits_data(32, w * h, 4, -2147483648, 2147483647))))

    # 32-bit signed with DATAMIN / DATAMAX and a scale factor.
    w, h = 9, 11
    seeds.append(("fits32_datamin.fits", BGR24, fits_file(
        [card("SIMPLE", "T"), card("BITPIX", 32), card("NAXIS", 2),
         card("NAXIS1", w), card("NAXIS2", h), card("BSCALE", "2.0"),
         card("DATAMIN", "-10.0"), card("DATAMAX", "90000.0")],
        fits_data(32, w * h, 5, -5, 45000))))

    # A cube: NAXIS 3 with two planes; the reader takes the first plane.
    w, h, d = 12, 10, 2
    seeds.append(("fits16_cube.fits", BGR_FLOAT, fits_file(
        [card("SIMPLE", "T"), card("BITPIX", 16), card("NAXIS", 3),
         card("NAXIS1", w), card("NAXIS2", h), card("NAXIS3", d),
         card("BZERO", "32768.0")],
        fits_data(16, w * h * d, 6, -32768, 32767))))

    # A header longer than one block (comment cards push END into block two).
    w, h = 8, 6
    comments = [("COMMENT   seed header card %02d" % i).ljust(80).encode("ascii")
                for i in range(40)]
    seeds.append(("fits8_two_blocks.fits", GRAY_FLOAT, fits_file(
        [card("SIMPLE", "T"), card("BITPIX", 8), card("NAXIS", 2),
         card("NAXIS1", w), card("NAXIS2", h)] + comments,
        fits_data(8, w * h, 7, 0, 200))))

    for name, selector, payload in seeds:
        write_seed(FITS_DIR, name, selector, payload)


# --- Bitmap ---------------------------------------------------------------


def row_bytes(bit_count, width):
    return (width * bit_count // 8 + 3) & ~3


def pixel_rows(bit_count, width, height, seed):
    """Stored rows with their zero padding, in file order."""
    rng = Lcg(seed)
    stride = row_bytes(bit_count, width)
    used = width * bit_count // 8
    out = bytearray()
    for _ in range(height):
        out += bytes(rng.next() & 0xFF for _ in range(used))
        out += b"\0" * (stride - used)
    return bytes(out)


def info_header(width, height, bit_count, compression, image_bytes, colors_used=0):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, bit_count, compression,
                       image_bytes, 2835, 2835, colors_used, 0)


def v5_header(width, height, bit_count, compression, image_bytes):
    """A 124-byte header: the 40-byte fields, the four masks, an sRGB colour
    space with zero endpoints and gammas, intent, no profile."""
    masks = struct.pack("<IIII", 0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000)
    colour_space = struct.pack("<I", 0x73524742)  # 'sRGB'
    endpoints = b"\0" * 36
    gammas = b"\0" * 12
    tail = struct.pack("<IIII", 4, 0, 0, 0)  # LCS_GM_IMAGES, no profile
    info = struct.pack("<IiiHHIIiiII", 124, width, height, 1, bit_count, compression,
                       image_bytes, 2835, 2835, 0, 0)
    header = info + masks + colour_space + endpoints + gammas + tail
    assert len(header) == 124
    return header


def bitmap_file(info, extra, rows):
    off_bits = 14 + len(info) + len(extra)
    size = off_bits + len(rows)
    return b"BM" + struct.pack("<IHHI", size, 0, 0, off_bits) + info + extra + rows


def grey_palette(entries):
    return b"".join(bytes([i * 255 // max(entries - 1, 1)] * 3 + [0]) for i in range(entries))


def colour_palette(entries, seed):
    rng = Lcg(seed)
    return b"".join(bytes([rng.next() & 0xFF, rng.next() & 0xFF, rng.next() & 0xFF, 0])
                    for _ in range(entries))


def make_bitmaps():
    seeds = []

    # 8-bit with a full 256-entry palette, odd width so rows are padded.
    w, h = 13, 7
    rows = pixel_rows(8, w, h, 11)
    seeds.append(("bmp8_palette.bmp", BGR24, bitmap_file(
        info_header(w, h, 8, 0, len(rows)), colour_palette(256, 12), rows)))

    # 8-bit with a 16-entry palette (biClrUsed 16); indices past it are black.
    w, h = 10, 6
    rows = pixel_rows(8, w, h, 13)
    seeds.append(("bmp8_short_palette.bmp", GRAY8, bitmap_file(
        info_header(w, h, 8, 0, len(rows), colors_used=16), grey_palette(16), rows)))

    # 24-bit bottom-up, width 11 (33 bytes, padded to 36).
    w, h = 11, 5
    rows = pixel_rows(24, w, h, 14)
    seeds.append(("bmp24_bottom_up.bmp", BGR_FLOAT, bitmap_file(
        info_header(w, h, 24, 0, len(rows)), b"", rows)))

    # 24-bit top-down (negative height).
    w, h = 9, 8
    rows = pixel_rows(24, w, h, 15)
    seeds.append(("bmp24_top_down.bmp", GRAY16, bitmap_file(
        info_header(w, -h, 24, 0, len(rows)), b"", rows)))

    # 32-bit BI_RGB.
    w, h = 8, 7
    rows = pixel_rows(32, w, h, 16)
    seeds.append(("bmp32_rgb.bmp", GRAY_FLOAT, bitmap_file(
        info_header(w, h, 32, 0, len(rows)), b"", rows)))

    # 32-bit BI_BITFIELDS with the three 8-8-8 masks after a 40-byte header.
    w, h = 7, 6
    rows = pixel_rows(32, w, h, 17)
    seeds.append(("bmp32_bitfields.bmp", GRAY32, bitmap_file(
        info_header(w, h, 32, 3, len(rows)),
        struct.pack("<III", 0x00FF0000, 0x0000FF00, 0x000000FF), rows)))

    # 124-byte header, 32-bit BI_BITFIELDS, masks inside the header.
    w, h = 6, 5
    rows = pixel_rows(32, w, h, 18)
    seeds.append(("bmp32_v5_bitfields.bmp", BGR_FLOAT, bitmap_file(
        v5_header(w, h, 32, 3, len(rows)), b"", rows)))

    # 124-byte header, 24-bit BI_RGB, top-down.
    w, h = 5, 4
    rows = pixel_rows(24, w, h, 19)
    seeds.append(("bmp24_v5_top_down.bmp", BGR24, bitmap_file(
        v5_header(w, -h, 24, 0, len(rows)), b"", rows)))

    for name, selector, payload in seeds:
        write_seed(BITMAP_DIR, name, selector, payload)


if __name__ == "__main__":
    make_fits()
    make_bitmaps()
