"""AVI files exchanged with ffmpeg: clips ffmpeg writes (uncompressed, YUV,
MJPEG, MPEG-4 with inter frames, HuffYUV, FFV1, UtVideo, audio before video,
no index) and hand-built
ones (index layouts ffmpeg never writes, dropped frames) load frame by frame to
exactly the pixels ffmpeg decodes (Stelp converts decoded pictures with
ffmpeg's own settings, so there is no tolerance); files stelp-cli writes decode
in ffmpeg to the pixels that went in."""
import re
import struct
from concurrent.futures import ThreadPoolExecutor

import numpy as np
from numpy.testing import assert_array_equal
from PIL import Image

from interop_util import (FORMATS, InteropCase, avi_file, chunks, cli_ok, dib_rows, expected, ffmpeg,
                          ffmpeg_frames, ffprobe, grey_of, retag)

W, H, N = 64, 48, 6  # ffmpeg's moving test pattern: six frames at 5 a second
INFO = f"avi {W}x{H} frames={N}"
RAW = ("-c:v", "rawvideo", "-pix_fmt")
MPEG4 = ("-c:v", "mpeg4", "-g", "4", "-bf", "0")  # key frames 0 and 4, the rest predicted
CLIPS = {fmt: RAW + (fmt,) for fmt in ("bgr24", "pal8", "gray", "yuyv422", "uyvy422", "yuv420p")}
CLIPS.update(bgr24_bottom_up=RAW + ("bgr24", "-flipped_raw_rgb", "1"),  # plain bgr24 is stored top-down
             mjpeg=("-c:v", "mjpeg", "-pix_fmt", "yuvj422p"), mpeg4=MPEG4,
             audio_first=MPEG4, audio_first_no_index=MPEG4,  # video is stream 1, after PCM audio
             # lossless capture codecs, whose set-up data follow the first 40 bytes of strf
             huffyuv=("-c:v", "huffyuv"), ffv1=("-c:v", "ffv1", "-level", "3"), utvideo=("-c:v", "utvideo"))


def make_clip(path, name):
    audio = ("-f", "lavfi", "-i", "sine=frequency=440:sample_rate=8000:duration=1.2", "-map", "1:a",
             "-map", "0:v", "-c:a", "pcm_s16le") if name.startswith("audio") else ()
    ffmpeg("-f", "lavfi", "-i", f"testsrc=size={W}x{H}:rate=5:duration=1.2", *audio, *CLIPS[name], path)
    if name.endswith("no_index"):  # ffmpeg writes no OpenDML index this small: now there is none
        path.write_bytes(retag(path.read_bytes(), b"idx1"))


def movi_packets(data):
    """Payloads of stream 0's chunks in movi order, and their key-frame flags from idx1."""
    found = chunks(data)
    movi = next(pos for fourcc, pos, _ in found if fourcc == b"LIST" and data[pos + 8:pos + 12] == b"movi")
    idx1 = next(pos for fourcc, pos, _ in found if fourcc == b"idx1")
    keys = {movi + 8 + off: bool(flags & 0x10) for _, flags, off, _ in
            struct.iter_unpack("<4sIII", data[idx1 + 8:idx1 + 8 + struct.unpack_from("<I", data, idx1 + 4)[0]])}
    packets = [(pos, size) for fourcc, pos, size in found if pos > movi and fourcc in (b"00dc", b"00db")]
    return [data[pos + 8:pos + 8 + size] for pos, size in packets], [keys[pos] for pos, _ in packets]


class FfmpegWrittenVideos(InteropCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()

        def make(name):
            make_clip(cls.shared / f"{name}.avi", name)
            return ffprobe(cls.shared / f"{name}.avi")[3], ffmpeg_frames(cls.shared / f"{name}.avi", W, H)
        with ThreadPoolExecutor(max_workers=4) as pool:
            cls.ffmpeg_view = dict(zip(CLIPS, pool.map(make, CLIPS)))

    def test_frames_match_ffmpeg(self):
        cases = []
        for name, (counted, frames) in self.ffmpeg_view.items():
            path = self.shared / f"{name}.avi"
            with self.subTest(clip=name):
                # ffprobe decodes every packet; the pattern moves, so a reader
                # stuck on one frame cannot pass.
                self.assertEqual((counted, len(frames)), (str(N), N))
                self.assertFalse(np.array_equal(frames[0], frames[1]))
                self.assertInfo(path, INFO)
            formats = FORMATS if name in ("bgr24", "pal8") else ("bgr24",)
            cases += [(path, i, fmt, expected(f, fmt)) for i, f in enumerate(frames) for fmt in formats]
        self.assertLoads(cases)

    def test_predicted_frame_converts_to_bitmap_and_video(self):
        frame = self.ffmpeg_view["mpeg4"][1][3]
        bmp, avi = self.tmp / "frame3.bmp", self.tmp / "frame3.avi"
        for out in (bmp, avi):
            cli_ok("convert", self.shared / "mpeg4.avi", out, "--frame", 3)
        with Image.open(bmp) as img:
            assert_array_equal(np.asarray(img.convert("RGB"))[..., ::-1], frame, "bitmap in Pillow")
        assert_array_equal(ffmpeg_frames(avi, W, H), frame[None], "video in ffmpeg")

    def test_missing_frames_are_refused(self):
        path = self.shared / "mpeg4.avi"
        for frame in (-1, N):
            for out in ("out.raw", "out.avi"):
                with self.subTest(frame=frame, output=out):
                    self.assertFails(("convert", path, self.tmp / out, "--frame", frame),
                                     re.escape(f"stelp-cli: {path}: frame {frame} does not exist") + ".*")


class HandBuiltVideos(InteropCase):
    """Around ffmpeg's test pattern (as DIB rows) and ffmpeg's own MPEG-4 packets."""
    INDEXES = {"idx1": {}, "opendml": dict(idx1=False, odml=True), "both": dict(odml=True), "none": dict(idx1=False)}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        for name in ("bgr24", "mpeg4"):
            make_clip(cls.shared / f"{name}.avi", name)
        pattern = ffmpeg_frames(cls.shared / "bgr24.avi", W, H)
        packets, keys = movi_packets((cls.shared / "mpeg4.avi").read_bytes())
        # (packets, key-frame flags, the frames they decode to, codec)
        cls.streams = {"dib": ([dib_rows(f) for f in pattern], [True] * N, list(pattern), b"\0\0\0\0"),
                       "mpeg4": (packets, keys, list(ffmpeg_frames(cls.shared / "mpeg4.avi", W, H)), b"FMP4")}

    def write(self, name, packets, keys, codec, index):
        path = self.tmp / f"{name}_{index}.avi"
        path.write_bytes(avi_file(W, H, packets, keys, codec=codec, **self.INDEXES[index]))
        return path

    def test_index_layouts(self):
        # A reader ignoring the key-frame flags would hand predicted frames to
        # the decoder without their reference; without an index, frames decode
        # from the first.
        self.assertEqual(self.streams["mpeg4"][1], [True, False, False, False, True, False])
        cases = []
        for kind, (packets, keys, frames, codec) in self.streams.items():
            for index in self.INDEXES:
                path = self.write(kind, packets, keys, codec, index)
                with self.subTest(stream=kind, index=index):
                    assert_array_equal(ffmpeg_frames(path, W, H), frames, "ffmpeg disagrees with the builder")
                    self.assertInfo(path, INFO)
                cases += [(path, i, "bgr24", f) for i, f in enumerate(frames)]
        self.assertLoads(cases)

    def test_dropped_frames_repeat_the_frame_before(self):
        # Empty chunks at 2, 3 and 8 of nine: a run of two, between MPEG-4
        # inter frames, and last.
        cases = []
        for kind, (packets, keys, frames, codec) in self.streams.items():
            packets, keys, frames = list(packets), list(keys), list(frames)
            for at in (2, 3, 8):
                packets.insert(at, b"")
                keys.insert(at, False)
                frames.insert(at, frames[at - 1])
            for index in ("idx1", "opendml", "none"):
                path = self.write(f"{kind}_dropped", packets, keys, codec, index)
                with self.subTest(stream=kind, index=index):
                    self.assertInfo(path, f"avi {W}x{H} frames=9")
                cases += [(path, i, "bgr24", f) for i, f in enumerate(frames)]
        self.assertLoads(cases)


class StelpWrittenVideos(InteropCase):
    def test_written_videos_decode_in_ffmpeg_and_read_back(self):
        rgb = np.random.default_rng(7).integers(0, 256, (5, 7, 3), dtype=np.uint8)  # odd width: padded rows
        src = self.tmp / "src.bmp"
        Image.fromarray(rgb, "RGB").save(src)
        grey = np.repeat(grey_of(rgb)[..., None], 3, axis=2).astype(np.uint8)
        cases = []
        # Grey formats write an 8-bit palette file, colour formats a 24-bit one.
        for fmt, pix_fmt, stored in (("gray8", "pal8", grey), ("bgr24", "bgr24", rgb[..., ::-1]),
                                     ("bgrfloat", "bgr24", rgb[..., ::-1])):
            out = self.tmp / f"{fmt}.avi"
            cli_ok("convert", src, out, "--format", fmt)
            with self.subTest(fmt=fmt):
                self.assertEqual(ffprobe(out), ("rawvideo", pix_fmt, "5/1", "1"))
                assert_array_equal(ffmpeg_frames(out, 7, 5), stored[None], "video in ffmpeg")
                self.assertInfo(out, "avi 7x5 frames=1")
            # Stelp reads its file back, also through each index it writes
            # alone, and with none.
            paths = [out]
            for renamed in ((b"idx1",), (b"indx",), (b"idx1", b"indx")):
                paths.append(self.tmp / f"{fmt}_without_{b'_'.join(renamed).decode()}.avi")
                paths[-1].write_bytes(retag(out.read_bytes(), *renamed))
            cases += [(path, 0, read, expected(stored, read)) for path in paths for read in FORMATS]
        self.assertLoads(cases)
