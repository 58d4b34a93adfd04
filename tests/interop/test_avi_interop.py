"""AVI files exchanged with ffmpeg: what ffmpeg writes, and hand-built index layouts of its MPEG-4 packets, load frame
by frame to exactly the pixels ffmpeg decodes (Stelp converts pictures with ffmpeg's own settings: no tolerance); files
stelp-cli writes decode in ffmpeg to the pixels that went in."""
import struct
from concurrent.futures import ThreadPoolExecutor

import numpy as np
from numpy.testing import assert_array_equal
from PIL import Image

from interop_util import FORMATS, InteropCase, cli_ok, expected, ffmpeg, ffmpeg_frames, ffprobe, grey_of

W, H, N = 64, 48, 6  # ffmpeg's moving test pattern: six frames at 5 a second
RAW = ("-c:v", "rawvideo", "-pix_fmt")
MPEG4 = ("-c:v", "mpeg4", "-g", "4", "-bf", "0")  # key frames 0 and 4, the rest predicted
CLIPS = {fmt: RAW + (fmt,) for fmt in ("bgr24", "pal8", "gray", "yuyv422", "uyvy422", "yuv420p")}
CLIPS.update(bgr24_bottom_up=RAW + ("bgr24", "-flipped_raw_rgb", "1"),  # plain bgr24 is stored top-down
             mjpeg=("-c:v", "mjpeg", "-pix_fmt", "yuvj422p"), mpeg4=MPEG4,
             audio_first=MPEG4, audio_first_no_index=MPEG4,  # video is stream 1, after PCM audio
             # lossless capture codecs, whose set-up data follow the first 40 bytes of strf
             huffyuv=("-c:v", "huffyuv"), ffv1=("-c:v", "ffv1", "-level", "3"), utvideo=("-c:v", "utvideo"))
INDEXES = {"idx1": {}, "opendml": dict(idx1=False, odml=True), "both": dict(odml=True), "none": dict(idx1=False)}


def chunks(data):
    """(fourcc, offset of its header, size) of every RIFF chunk, LISTs entered."""
    found, pos = [], 0
    while pos + 8 <= len(data):
        fourcc, size = struct.unpack_from("<4sI", data, pos)
        found.append((fourcc, pos, size))
        pos += 12 if fourcc in (b"RIFF", b"LIST") else 8 + size + (size & 1)
    return found


def _chunk(fourcc, payload):
    return fourcc + struct.pack("<I", len(payload)) + payload + b"\0" * (len(payload) & 1)


def _list(kind, payload):
    return b"LIST" + struct.pack("<I", len(payload) + 4) + kind + payload


def avi_file(width, height, frames, keys, *, codec=b"\0\0\0\0", idx1=True, odml=False):
    """A 24-bit, 5 frames a second AVI of `frames` (payloads; b"" is a dropped frame) in '00db' chunks with key-frame
    flags `keys`, indexed by idx1, by an OpenDML super index naming one 'ix00' chunk at the end of movi, by both or by
    neither."""
    n, big = len(frames), max(map(len, frames))
    strl = (_chunk(b"strh", struct.pack("<4s4sIHHIIIIIIiI4h", b"vids", codec.strip(b"\0") or b"DIB ", 0, 0, 0, 0,
                                        1, 5, 0, n, big, -1, 0, 0, 0, width, height))
            + _chunk(b"strf", struct.pack("<IiiHH4sIiiII", 40, width, height, 1, 24, codec, width * height * 3,
                                          0, 0, 0, 0)))
    avih = _chunk(b"avih", struct.pack("<14I", 200000, big * 5, 0, 0x10 if idx1 else 0, n, 0, 1, big, width,
                                       height, 0, 0, 0, 0))

    def hdrl(ix_pos):
        indx = struct.pack("<HBBI4s3IQII", 4, 0, 0, 1, b"00db", 0, 0, 0, ix_pos, 32 + 8 * n, n)
        return _list(b"hdrl", avih + _list(b"strl", strl + (_chunk(b"indx", indx) if odml else b"")))

    movi, offsets, ix_pos = b"", [], 0
    for payload in frames:
        offsets.append(4 + len(movi))  # from the 'movi' fourcc to the chunk header
        movi += _chunk(b"00db", payload)
    entries = list(zip(offsets, map(len, frames), keys))
    if odml:
        movi_pos = 12 + len(hdrl(0))  # the movi LIST header; entries point at chunk data
        ix_pos = movi_pos + 12 + len(movi)
        movi += _chunk(b"ix00", struct.pack("<HBBI4sQI", 2, 0, 1, n, b"00db", movi_pos + 8, 0) + b"".join(
            struct.pack("<II", off + 8, size | (0 if key else 1 << 31)) for off, size, key in entries))
    body = b"AVI " + hdrl(ix_pos) + _list(b"movi", movi)
    if idx1:
        body += _chunk(b"idx1", b"".join(struct.pack("<4sIII", b"00db", 0x10 if key else 0, off, size)
                                         for off, size, key in entries))
    return b"RIFF" + struct.pack("<I", len(body)) + body


def make_clip(path, name):
    audio = ("-f", "lavfi", "-i", "sine=frequency=440:sample_rate=8000:duration=1.2", "-map", "1:a",
             "-map", "0:v", "-c:a", "pcm_s16le") if name.startswith("audio") else ()
    ffmpeg("-f", "lavfi", "-i", f"testsrc=size={W}x{H}:rate=5:duration=1.2", *audio, *CLIPS[name], path)
    if name.endswith("no_index"):  # ffmpeg writes no OpenDML index this small; idx1 renamed JUNK, there is none
        data = path.read_bytes()
        (pos,) = [pos for fourcc, pos, _ in chunks(data) if fourcc == b"idx1"]
        path.write_bytes(data[:pos] + b"JUNK" + data[pos + 4:])


def movi_packets(data):
    """Payloads of stream 0's chunks in movi order, and their key-frame flags from idx1."""
    found = chunks(data)
    movi = next(pos for fourcc, pos, _ in found if fourcc == b"LIST" and data[pos + 8:pos + 12] == b"movi")
    idx1 = next(pos for fourcc, pos, _ in found if fourcc == b"idx1")
    keys = {movi + 8 + off: bool(flags & 0x10) for _, flags, off, _ in
            struct.iter_unpack("<4sIII", data[idx1 + 8:idx1 + 8 + struct.unpack_from("<I", data, idx1 + 4)[0]])}
    packets = [(pos, size) for fourcc, pos, size in found if pos > movi and fourcc in (b"00dc", b"00db")]
    return [data[pos + 8:pos + 8 + size] for pos, size in packets], [keys[pos] for pos, _ in packets]


class AviInterop(InteropCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()

        def make(name):
            make_clip(path := cls.shared / f"{name}.avi", name)
            return ffprobe(path)[3], ffmpeg_frames(path, W, H)
        with ThreadPoolExecutor(max_workers=4) as pool:
            cls.ffmpeg_view = dict(zip(CLIPS, pool.map(make, CLIPS)))

    def test_frames_match_ffmpeg(self):
        cases = []
        for name, (counted, frames) in self.ffmpeg_view.items():
            path = self.shared / f"{name}.avi"
            with self.subTest(clip=name):
                # ffprobe decodes every packet; the pattern moves, so a reader stuck on one frame cannot pass.
                self.assertEqual((counted, len(frames)), (str(N), N))
                self.assertFalse(np.array_equal(frames[0], frames[1]))
                self.assertInfo(path, f"avi {W}x{H} frames={N}")
            formats = FORMATS if name in ("bgr24", "pal8") else ("bgr24",)
            cases += [(path, i, fmt, expected(f, fmt)) for i, f in enumerate(frames) for fmt in formats]
        self.assertLoads(cases)

    def test_hand_built_index_layouts_and_dropped_frames(self):
        # ffmpeg's MPEG-4 packets under layouts ffmpeg does not write. A reader ignoring the key-frame flags would hand
        # predicted frames to the decoder without their reference; without an index, frames decode from the first.
        packets, keys = movi_packets((self.shared / "mpeg4.avi").read_bytes())
        self.assertEqual(keys, [True, False, False, False, True, False])
        frames, cases = list(self.ffmpeg_view["mpeg4"][1]), []
        for dropped in (False, True):
            if dropped:  # empty chunks at 2, 3 and 8 of nine: a run of two, between inter frames, and last
                for at in (2, 3, 8):
                    packets.insert(at, b"")
                    keys.insert(at, False)
                    frames.insert(at, frames[at - 1])
            for index, layout in INDEXES.items():
                path = self.tmp / f"{dropped}_{index}.avi"
                path.write_bytes(avi_file(W, H, packets, keys, codec=b"FMP4", **layout))
                with self.subTest(dropped=dropped, index=index):
                    if not dropped:
                        assert_array_equal(ffmpeg_frames(path, W, H), frames, "ffmpeg disagrees with the builder")
                    self.assertInfo(path, f"avi {W}x{H} frames={len(frames)}")
                cases += [(path, i, "bgr24", f) for i, f in enumerate(frames)]
        self.assertLoads(cases)

    def test_written_videos_decode_in_ffmpeg_and_read_back(self):
        rgb = np.random.default_rng(7).integers(0, 256, (5, 7, 3), dtype=np.uint8)  # odd width: padded rows
        src = self.tmp / "src.bmp"
        Image.fromarray(rgb, "RGB").save(src)
        grey = np.repeat(grey_of(rgb)[..., None], 3, axis=2).astype(np.uint8)
        cases = []
        # Grey formats write an 8-bit palette file, colour formats a 24-bit one.
        for fmt, pix_fmt, stored in (("gray8", "pal8", grey), ("bgr24", "bgr24", rgb[..., ::-1])):
            out = self.tmp / f"{fmt}.avi"
            cli_ok("convert", src, out, "--format", fmt)
            with self.subTest(fmt=fmt):
                self.assertEqual(ffprobe(out), ("rawvideo", pix_fmt, "5/1", "1"))
                assert_array_equal(ffmpeg_frames(out, 7, 5), stored[None], "video in ffmpeg")
                self.assertInfo(out, "avi 7x5 frames=1")
            cases += [(out, 0, read, expected(stored, read)) for read in FORMATS]  # and Stelp reads it back
        self.assertLoads(cases)
