#!/usr/bin/python3
"""Writes the seed corpora for the fuzz targets into fuzz/corpus/.

Each image seed is one selector byte followed by a complete, valid image
file; the project seeds are whole project and settings files. The
fuzz targets turn the selector into the requested pixel format
(selector % 6 + 1), so the seeds spread the six formats over the files. AVI
and SER seeds carry a second selector byte, the frame to read (selector % 4);
for SER its bit 2 also picks the brightest pixel scale.

Only the standard library is used and the output is the same on every run:
    /usr/bin/python3 fuzz/make_corpus.py

The AVI seeds with compressed frames (MJPEG, packed YUV and a few more codecs,
so the libavcodec path gets fuzzed too) come from ffmpeg and are committed as
files. They are rewritten only on request, with ffmpeg on the PATH:
    /usr/bin/python3 fuzz/make_corpus.py --ffmpeg
Their bytes then depend on the ffmpeg version (bit-exact mode keeps version
strings out of the files).
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
FITS_DIR = os.path.join(HERE, "corpus", "fits")
BITMAP_DIR = os.path.join(HERE, "corpus", "bitmap")
AVI_DIR = os.path.join(HERE, "corpus", "avi")
PROJECT_DIR = os.path.join(HERE, "corpus", "project")
SER_DIR = os.path.join(HERE, "corpus", "ser")

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
    fmt = {8: ">B", 16: ">h", 32: ">i", -32: ">f", -64: ">d"}[bitpix]
    span = hi - lo + 1
    if bitpix < 0:  # floats of lo..hi in steps of 1/256
        return b"".join(struct.pack(fmt, lo + (rng.next32() % (span * 256)) / 256.0) for _ in range(count))
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

    # Floats within 0..1 with a NaN and observation cards to copy, read on the
    # brightest-pixel scale (selector 6 and up).
    w, h = 10, 7
    data = bytearray(fits_data(-32, w * h, 8, 0, 0))
    data[0:4] = struct.pack(">f", float("nan"))
    seeds.append(("fitsf32_cards.fits", GRAY_FLOAT + 6, fits_file(
        [card("SIMPLE", "T"), card("BITPIX", -32), card("NAXIS", 2),
         card("NAXIS1", w), card("NAXIS2", h), card("EXPTIME", "30.0"),
         card("OBJECT", "'M42     '"), ("HISTORY stacked").ljust(80).encode("ascii")],
        bytes(data))))

    # A colour cube of 64-bit floats in camera units.
    w, h, d = 6, 5, 3
    seeds.append(("fitsf64_rgb.fits", BGR_FLOAT, fits_file(
        [card("SIMPLE", "T"), card("BITPIX", -64), card("NAXIS", 3),
         card("NAXIS1", w), card("NAXIS2", h), card("NAXIS3", d)],
        fits_data(-64, w * h * d, 9, 0, 60000))))

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


# --- AVI ------------------------------------------------------------------

AVIF_HAS_INDEX = 0x10
AVIIF_KEYFRAME = 0x10
INDEX_OF_INDEXES = 0
INDEX_OF_CHUNKS = 1
SUPER_INDEX_ENTRIES = 4  # room for this many segments in an 'indx'


def chunk(fourcc, data):
    """A RIFF chunk, padded to an even length."""
    out = fourcc + struct.pack("<I", len(data)) + data
    return out + b"\0" if len(data) & 1 else out


def riff_list(kind, list_type, body):
    """A LIST (or RIFF) holding `body`, which is already made of chunks."""
    return kind + struct.pack("<I", 4 + len(body)) + list_type + body


def avih(width, height, frames, streams, flags=AVIF_HAS_INDEX):
    return chunk(b"avih", struct.pack("<IIIIIIIIII16x", 200000, 0, 0, flags, frames, 0, streams, 0,
                                      width, height))


def strh(kind, handler, length, rate, sample_size=0, width=0, height=0):
    return chunk(b"strh", kind + handler + struct.pack(
        "<IHHIIIIIIII4h", 0, 0, 0, 0, 1, rate, 0, length, 0, 0xFFFFFFFF, sample_size,
        0, 0, width, height))


def bitmap_info(width, height, bit_count, compression, image_bytes, colors_used=0):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, bit_count, compression,
                       image_bytes, 0, 0, colors_used, 0)


def audio_strl():
    """A 16-bit mono PCM stream."""
    wave = struct.pack("<HHIIHHH", 1, 1, 8000, 16000, 2, 16, 0)
    return riff_list(b"LIST", b"strl", strh(b"auds", b"\0\0\0\0", 320, 8000, 2) + chunk(b"strf", wave))


def super_index(chunk_id, entries):
    """An 'indx' index of indexes: (offset of an 'ix00' chunk, its bytes,
    frames it lists) per segment, with unused entries zero."""
    body = struct.pack("<HBBI4s12x", 4, 0, INDEX_OF_INDEXES, len(entries), chunk_id)
    for offset, size, duration in entries:
        body += struct.pack("<QII", offset, size, duration)
    body += b"\0" * (16 * (SUPER_INDEX_ENTRIES - len(entries)))
    return chunk(b"indx", body)


def standard_index(chunk_id, movi_at, entries):
    """An 'ix00' chunk: data offsets relative to the 'movi' fourcc at
    `movi_at`, and sizes (bit 31 clear: key frame)."""
    body = struct.pack("<HBBI4sQI", 2, 0, INDEX_OF_CHUNKS, len(entries), chunk_id, movi_at, 0)
    for offset, size in entries:
        body += struct.pack("<II", offset, size)
    return chunk(b"ix00", body)


def movi_body(items, rec_lists):
    """The chunks of a 'movi' list and where each chunk header lies, counted
    from the 'movi' fourcc."""
    body = b""
    places = []
    for chunk_id, data in items:
        if rec_lists:
            places.append(4 + len(body) + 12)
            body += riff_list(b"LIST", b"rec ", chunk(chunk_id, data))
        else:
            places.append(4 + len(body))
            body += chunk(chunk_id, data)
    return body, places


def avi_file(width, height, bit_count, frames, palette=b"", compression=0, handler=b"DIB ",
             extra=b"", audio_first=False, index="idx1", rec_lists=False, segments=(None,)):
    """A small AVI file with one video stream (after an audio stream when
    `audio_first`). `index` is "idx1", "odml" (an 'indx' in the stream list,
    an 'ix00' per segment and no 'idx1') or "none". For "odml", `segments`
    gives how many frames go into each RIFF segment; the later ones are
    'AVIX' segments."""
    video_number = 1 if audio_first else 0
    video_id = b"%02ddb" % video_number
    audio = bytes(range(64))

    # Frames per segment.
    if index == "odml" and segments != (None,):
        counts = list(segments)
        assert sum(counts) == len(frames)
    else:
        counts = [len(frames)]
    starts = [sum(counts[:i]) for i in range(len(counts))]

    def build(super_entries):
        fmt = bitmap_info(width, height, bit_count, compression,
                          len(frames[0]) if frames else 0, len(palette) // 4) + extra + palette
        video_strl_body = strh(b"vids", handler, len(frames), 5, 0, width, abs(height)) + chunk(b"strf", fmt)
        if index == "odml":
            video_strl_body += super_index(video_id, super_entries)
        streams = [riff_list(b"LIST", b"strl", video_strl_body)]
        if audio_first:
            streams.insert(0, audio_strl())
        hdrl_body = avih(width, abs(height), counts[0], len(streams)) + b"".join(streams)
        if index == "odml":
            hdrl_body += riff_list(b"LIST", b"odml", chunk(b"dmlh", struct.pack("<I244x", len(frames))))
        hdrl = riff_list(b"LIST", b"hdrl", hdrl_body)

        out = b""
        entries = []
        idx1 = b""
        for segment, (start, count) in enumerate(zip(starts, counts)):
            items = []
            for data in frames[start:start + count]:
                if audio_first:
                    items.append((b"00wb", audio))
                items.append((video_id, data))
            body, places = movi_body(items, rec_lists)
            head = 12 + len(hdrl) if segment == 0 else 12
            movi_at = len(out) + head + 8
            if index == "odml":
                video_places = [p for (cid, _), p in zip(items, places) if cid == video_id]
                ix_at = movi_at + 4 + len(body)
                ix = standard_index(video_id, movi_at,
                                    [(p + 8, len(d)) for p, d in zip(video_places, frames[start:start + count])])
                entries.append((ix_at, len(ix), count))
                body += ix
            movi = riff_list(b"LIST", b"movi", body)
            if segment == 0:
                if index == "idx1":
                    idx1 = chunk(b"idx1", b"".join(
                        struct.pack("<4sIII", cid, AVIIF_KEYFRAME, p, len(d))
                        for (cid, d), p in zip(items, places)))
                out += riff_list(b"RIFF", b"AVI ", hdrl + movi + idx1)
            else:
                out += riff_list(b"RIFF", b"AVIX", movi)
        return out, entries

    out, entries = build([(0, 0, 0)] * len(counts))
    if index == "odml":
        again, same = build(entries)
        assert same == entries and len(again) == len(out)
        out = again
    return out


def dib_frames(bit_count, width, height, count, seed):
    """`count` frames of stored rows with their padding, bottom row first."""
    return [pixel_rows(bit_count, width, height, seed + k) for k in range(count)]


def write_avi_seed(name, format_selector, frame_selector, payload):
    assert len(payload) + 2 < 8192, name
    write_seed(AVI_DIR, name, format_selector, bytes([frame_selector]) + payload)


def make_avis():
    # 8-bit with a colour palette, odd width so rows are padded; three frames.
    w, h = 7, 5
    write_avi_seed("avi8_palette.avi", BGR24, 2, avi_file(
        w, h, 8, dib_frames(8, w, h, 3, 21), palette=colour_palette(256, 22)))

    # 8-bit top-down (negative height) with a 16-entry grey palette.
    w, h = 6, 4
    write_avi_seed("avi8_top_down_short_palette.avi", GRAY16, 1, avi_file(
        w, -h, 8, dib_frames(8, w, h, 2, 23), palette=grey_palette(16)))

    # 24-bit, width 5 (15 bytes, padded to 16).
    w, h = 5, 4
    write_avi_seed("avi24.avi", BGR_FLOAT, 1, avi_file(w, h, 24, dib_frames(24, w, h, 2, 24)))

    # 32-bit, three frames.
    w, h = 4, 4
    write_avi_seed("avi32.avi", GRAY_FLOAT, 2, avi_file(w, h, 32, dib_frames(32, w, h, 3, 25)))

    # 32-bit bit fields with the usual masks after the header.
    w, h = 4, 3
    write_avi_seed("avi32_bitfields.avi", GRAY32, 0, avi_file(
        w, h, 32, dib_frames(32, w, h, 2, 26), compression=3,
        extra=struct.pack("<III", 0x00FF0000, 0x0000FF00, 0x000000FF)))

    # An audio stream first: the video is stream 1 ('01db'), interleaved
    # with '00wb' chunks, all listed in 'idx1'.
    w, h = 6, 4
    write_avi_seed("avi24_audio_first.avi", GRAY8, 1, avi_file(
        w, h, 24, dib_frames(24, w, h, 3, 27), audio_first=True))

    # OpenDML: an 'indx' pointing to one 'ix00' per segment, the third frame
    # in an 'AVIX' segment, and no 'idx1'.
    w, h = 5, 3
    write_avi_seed("avi8_opendml.avi", GRAY_FLOAT, 2, avi_file(
        w, h, 8, dib_frames(8, w, h, 3, 28), palette=grey_palette(256), index="odml", segments=(2, 1)))

    # No index at all: the frames are found by scanning 'movi', here inside
    # 'rec ' lists.
    w, h = 4, 4
    write_avi_seed("avi24_no_index.avi", BGR24, 1, avi_file(
        w, h, 24, dib_frames(24, w, h, 2, 29), index="none", rec_lists=True))

    # A zero-length (dropped) second frame, which shows the first one again.
    w, h = 4, 3
    frames = dib_frames(24, w, h, 3, 30)
    frames[1] = b""
    write_avi_seed("avi24_zero_length_frame.avi", GRAY16, 1, avi_file(w, h, 24, frames))


# Compressed seeds made by ffmpeg: (name, format selector, frame selector,
# output options). Each is 16x16 from the 'testsrc2' pattern.
FFMPEG_SEEDS = [
    ("avi_mjpeg.avi", GRAY_FLOAT, 1, 2, ["-c:v", "mjpeg", "-q:v", "5"]),
    ("avi_yuyv422.avi", BGR24, 1, 2, ["-c:v", "rawvideo", "-pix_fmt", "yuyv422"]),
    # Not intra-only, with a B-frame: key frame search and draining.
    ("avi_mpeg4_bframes.avi", GRAY8, 2, 3, ["-c:v", "mpeg4", "-g", "2", "-bf", "1", "-q:v", "5"]),
    # A codec that delivers grey pictures.
    ("avi_ffv1_gray.avi", GRAY16, 1, 2, ["-c:v", "ffv1", "-pix_fmt", "gray"]),
]


def make_ffmpeg_avis():
    ffmpeg = shutil.which("ffmpeg")
    if not ffmpeg:
        sys.exit("ffmpeg is not on the PATH")
    with tempfile.TemporaryDirectory() as scratch:
        for name, format_selector, frame_selector, frames, options in FFMPEG_SEEDS:
            out = os.path.join(scratch, name)
            subprocess.run(
                [ffmpeg, "-nostdin", "-v", "error", "-y", "-f", "lavfi",
                 "-i", "testsrc2=size=16x16:rate=25", "-frames:v", str(frames)] + options +
                ["-fflags", "+bitexact", "-flags:v", "+bitexact", out],
                check=True, stdin=subprocess.DEVNULL)
            with open(out, "rb") as f:
                write_avi_seed(name, format_selector, frame_selector, f.read())


# --- Projects and settings ---------------------------------------------------

PROJECT_SETTINGS = (
    "[Version]\nMajor=0\nMinor=9\n\n"
    "[Processing]\nColour=1\nDark=1\nFlat=0\nSynFlat=0\nHot=1\nStretch=1\nStretchFromRel=1.500000\n"
    "StretchToRel=99.250000\nStretchFromAbs=0.000000\nStretchToAbs=255.000000\nDeInterlace=0\n\n"
    "[Flat]\nFilterWidth=100\nFilterHeight=50\nVarHi=5\nVarLo=5\nBorder=0\n\n"
    "[Dark]\nHot=200\nCold=0\nExpand=1\n")

PROJECT_SEEDS = {
    # As a save writes it: settings, a bitmap, a video with its frames, a dark.
    "saved.sjx": PROJECT_SETTINGS + (
        "\n[Image 1]\nFileName=/data/night/a.bmp\nEnabled=1\n\n"
        "[Image 2]\nFileName=/data/night/clip.avi\nFrames=3\nEnabled 0=1\nEnabled 1=0\nEnabled 2=1\n\n"
        "[Flat 1]\nFileName=/data/night/f.fits\nEnabled=0\n\n[Dark 1]\nFileName=C:\\old\\d.bmp\nEnabled=1\n"),
    # Written by hand: values out of range, a count past 32 bits, an inverted
    # pair, odd spacing, a comment, quotes and a gap in the list numbers.
    "hand.sjx": (
        "; by hand\n[processing]\n  Stretch = 7\nStretchFromRel=95\nStretchToRel=5\nStretchToAbs=-1e308\n"
        "[FLAT]\nFilterWidth=-5\nFilterHeight=4294967396\n[Dark]\nHot=99999999999\nCold=nan\n"
        "[Image 1]\nFileName=\" /spaced/x.AVI \"\nFrames=1048577\n[Image 3]\nFileName=/z.bmp\n"),
    # CR LF with a byte order mark and runs of blank lines.
    "crlf.sjx": "\ufeff[Dark]\r\nHot=20\r\n\r\n \r\n\t\r\n\r\n[Image 1]\r\nFileName=/a.fit\r\n\r\n",
    # The settings file.
    "settings.ini": "[Window]\nX=-4\nY=7\nW=1024\nH=768\n\n[Settings]\nFilter=32\nFlags=715246\n",
}


# --- SER ------------------------------------------------------------------


def ser_file(width, height, depth, colour_id, frames, seed, big_endian=False, declared=None, timestamps=False):
    """A SER video: the 178-byte header, `frames` frames of Lcg values within
    `depth` bits (16-bit words in the order LittleEndian = 0 means in real
    files: little-endian), then optionally one 8-byte time stamp per frame."""
    planes = 3 if colour_id in (100, 101) else 1
    head = struct.pack("<14s7i", b"LUCAM-RECORDER", 0, colour_id, 1 if big_endian else 0, width, height, depth,
                       frames if declared is None else declared)
    head += b"observer".ljust(40, b"\0") + b"camera".ljust(40, b"\0") + b"scope".ljust(40, b"\0")
    head += struct.pack("<qq", 0, 0)
    rng = Lcg(seed)
    count = width * height * planes * frames
    values = [rng.next() % (1 << depth) for _ in range(count)]
    if depth <= 8:
        data = bytes(values)
    else:
        data = struct.pack((">" if big_endian else "<") + "%dH" % count, *values)
    trailer = struct.pack("<%dq" % frames, *range(frames)) if timestamps else b""
    return head + data + trailer


def write_ser_seed(name, format_selector, frame_selector, payload):
    assert len(payload) + 2 < 8192, name
    write_seed(SER_DIR, name, format_selector, bytes([frame_selector]) + payload)


def make_sers():
    write_ser_seed("ser8_mono.ser", GRAY8, 2, ser_file(7, 5, 8, 0, 3, 41))
    write_ser_seed("ser16_mono_le_brightest.ser", GRAY_FLOAT, 4 + 1, ser_file(6, 4, 16, 0, 2, 42, timestamps=True))
    write_ser_seed("ser12_mono_be.ser", GRAY16, 1, ser_file(5, 3, 12, 0, 2, 43, big_endian=True))
    write_ser_seed("ser8_bayer_rggb.ser", GRAY32, 0, ser_file(6, 4, 8, 8, 2, 44))
    write_ser_seed("ser8_rgb.ser", BGR24, 1, ser_file(5, 4, 8, 100, 2, 45, timestamps=True))
    write_ser_seed("ser16_bgr_be_brightest.ser", BGR_FLOAT, 4 + 1, ser_file(4, 3, 16, 101, 2, 46, big_endian=True))
    # FrameCount claims more than the file holds; the last frame is cut short.
    write_ser_seed("ser10_short_last_frame.ser", GRAY8, 3, ser_file(4, 4, 10, 0, 3, 47, declared=9)[:-5])


def make_projects():
    os.makedirs(PROJECT_DIR, exist_ok=True)
    for name, text in PROJECT_SEEDS.items():
        with open(os.path.join(PROJECT_DIR, name), "wb") as f:
            f.write(text.encode("utf-8"))


if __name__ == "__main__":
    make_fits()
    make_bitmaps()
    make_avis()
    make_sers()
    make_projects()
    if "--ffmpeg" in sys.argv[1:]:
        make_ffmpeg_avis()
