"""AVI files exchanged with ffmpeg: videos ffmpeg writes (uncompressed, YUV,
MJPEG, MPEG-4 with inter frames, audio before video, indexes removed) load
frame by frame to the pixels ffmpeg decodes; hand-built files cover an
OpenDML-only index, no index at all and dropped frames; files stelp-cli writes
are read by ffprobe and ffmpeg as the pixels that went in."""
import struct
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
from PIL import Image

import avi_util as av
from interop_util import FORMATS, InteropCase, expected_from_rgb, grey_of, run_cli

WIDTH, HEIGHT = av.CLIP_SIZE
RAW_VIDEO = ("-c:v", "rawvideo")

# ffmpeg output options per clip: (options, every pixel format checked?).
# Stelp converts decoded pictures with the same swscale settings ffmpeg uses,
# so every clip, MJPEG and MPEG-4 included, must load to exactly ffmpeg's
# bgr24 pixels: no comparison here has a tolerance.
CLIPS = {
    "bgr24": (RAW_VIDEO + ("-pix_fmt", "bgr24"), True),           # top-down DIB (negative height)
    "bgr24_bottom_up": (RAW_VIDEO + ("-pix_fmt", "bgr24", "-flipped_raw_rgb", "1"), False),
    "pal8": (RAW_VIDEO + ("-pix_fmt", "pal8"), True),             # palette in the stream format
    "pal8_bottom_up": (RAW_VIDEO + ("-pix_fmt", "pal8", "-flipped_raw_rgb", "1"), False),
    "gray": (RAW_VIDEO + ("-pix_fmt", "gray"), False),            # Y800
    "yuyv422": (RAW_VIDEO + ("-pix_fmt", "yuyv422"), False),      # YUY2
    "uyvy422": (RAW_VIDEO + ("-pix_fmt", "uyvy422"), False),      # UYVY
    "yuv420p": (RAW_VIDEO + ("-pix_fmt", "yuv420p"), False),      # I420
    "mjpeg": (("-c:v", "mjpeg", "-pix_fmt", "yuvj422p"), False),
    "mpeg4": (("-c:v", "mpeg4", "-g", "4", "-bf", "0"), False),  # key frames 0 and 4, the rest predicted
}


def make_clip(path, options, audio_first=False):
    """Six frames of ffmpeg's test pattern; with `audio_first` a PCM track is
    stream 0 and the video stream 1."""
    inputs = ["-f", "lavfi", "-i", av.TESTSRC]
    if audio_first:
        inputs += ["-f", "lavfi", "-i", av.SINE, "-map", "1:a", "-map", "0:v", "-c:a", "pcm_s16le"]
    av.ffmpeg(*inputs, *options, path)


def movi_packets(data, stream=b"00"):
    """Payloads of stream `stream`'s chunks in movi order with their key-frame
    flags from idx1."""
    found = av.chunks(data)
    movi = next(pos for fourcc, kind, pos, _ in found if kind == b"movi")
    packets = [(pos, data[pos + 8:pos + 8 + size]) for fourcc, _, pos, size in found
               if pos > movi and fourcc[:2] == stream and fourcc[2:] in (b"dc", b"db")]
    idx1 = next(pos for fourcc, _, pos, _ in found if fourcc == b"idx1")
    count = struct.unpack_from("<I", data, idx1 + 4)[0] // 16
    keys = {}
    for i in range(count):
        ckid, flags, offset, _ = struct.unpack_from("<4sIII", data, idx1 + 8 + 16 * i)
        keys[movi + 8 + offset] = bool(flags & 0x10)
    return [payload for _, payload in packets], [keys[pos] for pos, _ in packets]


class VideoCase(InteropCase):
    """Clips shared by a test class, written once into a class-wide folder."""

    @classmethod
    def setUpClass(cls):
        tmp = tempfile.TemporaryDirectory()
        cls.addClassCleanup(tmp.cleanup)
        cls.clips = Path(tmp.name)

    def assertInfo(self, path, width, height, frames):
        r = self.cli_ok("info", path)
        self.assertEqual((r.stdout, r.stderr), (f"avi {width}x{height} frames={frames}\n", ""), path.name)

    def assertFramesLoad(self, path, bgr_frames, formats=("bgr24",), only=None):
        """Each frame i of `path` (those in `only`, or all) loads as
        `bgr_frames[i]` (top row first) in every one of `formats`; grey formats
        carry (b + 2g + r) // 4."""
        which = range(len(bgr_frames)) if only is None else only
        cases = [(i, bgr_frames[i], fmt) for i in which for fmt in formats]
        loaded = self.load_raws([(path, fmt, bgr.shape[1], bgr.shape[0], i) for i, bgr, fmt in cases])
        for (i, bgr, fmt), got in zip(cases, loaded):
            with self.subTest(file=path.name, frame=i, fmt=fmt):
                if isinstance(got, Exception):
                    raise got
                self.assertPixels(got, expected_from_rgb(bgr[..., ::-1], fmt), f"{path.name} frame {i} {fmt}")


class FfmpegWrittenVideos(VideoCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        jobs = [(name, options, False) for name, (options, _) in CLIPS.items()]
        jobs += [("audio_first_bgr24", CLIPS["bgr24"][0], True), ("audio_first_mpeg4", CLIPS["mpeg4"][0], True)]
        with ThreadPoolExecutor(max_workers=4) as pool:
            list(pool.map(lambda job: make_clip(cls.clips / f"{job[0]}.avi", job[1], job[2]), jobs))
            # ffmpeg writes no OpenDML index for files this small, so renaming
            # idx1 leaves no index at all: the reader has to walk the movi list.
            for name in ("bgr24", "pal8", "audio_first_bgr24"):
                data = (cls.clips / f"{name}.avi").read_bytes()
                (cls.clips / f"{name}_no_index.avi").write_bytes(av.retag(data, b"idx1", b"JUNK"))
            # What ffprobe and ffmpeg make of every clip: the stream and its
            # frames decoded to bgr24.
            names = [path.stem for path in sorted(cls.clips.glob("*.avi"))]
            views = pool.map(lambda name: (av.ffprobe_video(cls.clips / f"{name}.avi"),
                                           av.ffmpeg_bgr_frames(cls.clips / f"{name}.avi", WIDTH, HEIGHT)), names)
            cls.ffmpeg_view = dict(zip(names, views))

    def check_clip(self, name, all_formats):
        path = self.clips / f"{name}.avi"
        probe, frames = self.ffmpeg_view[name]
        self.assertEqual(probe["nb_read_frames"], str(av.CLIP_FRAMES))
        # `info` names the frame count ffprobe finds by reading every packet.
        self.assertInfo(path, WIDTH, HEIGHT, int(probe["nb_read_frames"]))
        self.assertEqual(len(frames), av.CLIP_FRAMES)
        # The pattern moves: a reader stuck on one frame must not pass.
        self.assertFalse(np.array_equal(frames[0], frames[1]))
        self.assertFramesLoad(path, frames, FORMATS if all_formats else ("bgr24",))
        return probe

    def test_frames_match_ffmpeg(self):
        for name, (_, all_formats) in CLIPS.items():
            with self.subTest(clip=name):
                self.check_clip(name, all_formats)

    def test_audio_stream_before_video(self):
        for name, codec in (("audio_first_bgr24", "rawvideo"), ("audio_first_mpeg4", "mpeg4")):
            with self.subTest(clip=name):
                self.assertEqual(self.check_clip(name, False)["codec_name"], codec)

    def test_files_without_index_are_scanned(self):
        for name in ("bgr24", "pal8", "audio_first_bgr24"):
            with self.subTest(clip=name):
                data = (self.clips / f"{name}_no_index.avi").read_bytes()
                self.assertNotIn(b"idx1", [c[0] for c in av.chunks(data)])
                self.assertNotIn(b"indx", data)
                self.check_clip(f"{name}_no_index", False)

    def test_frame_converts_to_bitmap_and_video(self):
        # A predicted frame written out as a bitmap (read by Pillow) and as a
        # one-frame video (decoded by ffmpeg) keeps ffmpeg's pixels.
        frame = self.ffmpeg_view["mpeg4"][1][3]
        bmp, avi = self.tmp / "frame3.bmp", self.tmp / "frame3.avi"
        self.cli_ok("convert", self.clips / "mpeg4.avi", bmp, "--frame", 3)
        self.cli_ok("convert", self.clips / "mpeg4.avi", avi, "--frame", 3)
        with Image.open(bmp) as img:
            self.assertPixels(np.asarray(img.convert("RGB"))[..., ::-1], frame, "bitmap in Pillow")
        self.assertPixels(av.ffmpeg_bgr_frames(avi, WIDTH, HEIGHT), frame[None], "video in ffmpeg")

    def test_missing_frames_fail_with_one_line(self):
        path = self.clips / "mpeg4.avi"
        for frame in (-1, av.CLIP_FRAMES, av.CLIP_FRAMES + 100, -2147483648):
            for out_name in ("out.raw", "out.bmp", "out.avi"):
                with self.subTest(frame=frame, output=out_name):
                    out = self.tmp / out_name
                    r = run_cli("convert", path, out, "--frame", frame)
                    self.assertEqual(r.returncode, 1, r.stderr)
                    self.assertEqual(r.stdout, "")
                    lines = r.stderr.splitlines()
                    self.assertEqual(len(lines), 1, r.stderr)
                    self.assertTrue(lines[0].startswith(f"stelp-cli: {path}: frame {frame} does not exist"), lines[0])
                    self.assertFalse(out.exists(), "failed convert left an output file")


class HandBuiltVideos(VideoCase):
    """Index layouts and dropped frames ffmpeg does not write, built around
    ffmpeg's test pattern and ffmpeg's own MPEG-4 packets."""

    INDEXES = {"idx1": dict(idx1=True, odml=False), "opendml": dict(idx1=False, odml=True),
               "both": dict(idx1=True, odml=True), "none": dict(idx1=False, odml=False)}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        make_clip(cls.clips / "bgr24.avi", CLIPS["bgr24"][0])
        make_clip(cls.clips / "mpeg4.avi", CLIPS["mpeg4"][0])
        cls.pattern = av.ffmpeg_bgr_frames(cls.clips / "bgr24.avi", WIDTH, HEIGHT)
        cls.mpeg4_frames = av.ffmpeg_bgr_frames(cls.clips / "mpeg4.avi", WIDTH, HEIGHT)
        cls.mpeg4_packets, cls.mpeg4_keys = movi_packets((cls.clips / "mpeg4.avi").read_bytes())

    def write(self, name, payloads, **kwargs):
        path = self.tmp / name
        path.write_bytes(av.avi_file(WIDTH, HEIGHT, 24, payloads, **kwargs))
        return path

    def test_index_layouts(self):
        payloads = [av.dib_rows(f) for f in self.pattern]
        for index, flags in self.INDEXES.items():
            with self.subTest(index=index):
                path = self.write(f"dib_{index}.avi", payloads, **flags)
                # ffmpeg reads the hand-built file as the pattern it came from.
                np.testing.assert_array_equal(av.ffmpeg_bgr_frames(path, WIDTH, HEIGHT), self.pattern)
                self.assertInfo(path, WIDTH, HEIGHT, av.CLIP_FRAMES)
                self.assertFramesLoad(path, self.pattern)

    def test_inter_frames_decode_from_the_key_frame_the_index_names(self):
        # ffmpeg's key frames sit at 0 and 4; a reader that ignored the flags
        # would hand predicted frames to the decoder without their reference.
        # Without any index the frames must still decode (from the first one).
        self.assertEqual(self.mpeg4_keys, [True, False, False, False, True, False])
        for index, flags in self.INDEXES.items():
            with self.subTest(index=index):
                path = self.write(f"mpeg4_{index}.avi", self.mpeg4_packets, compression=b"FMP4",
                                  keyframes=self.mpeg4_keys, **flags)
                np.testing.assert_array_equal(av.ffmpeg_bgr_frames(path, WIDTH, HEIGHT), self.mpeg4_frames)
                self.assertInfo(path, WIDTH, HEIGHT, av.CLIP_FRAMES)
                self.assertFramesLoad(path, self.mpeg4_frames)

    def test_dropped_frames_repeat_the_frame_before(self):
        for dropped in ((2,), (3, 4), (5,)):
            payloads = [b"" if i in dropped else av.dib_rows(f) for i, f in enumerate(self.pattern)]
            expected = [self.pattern[max(j for j in range(i + 1) if j not in dropped)]
                        for i in range(len(self.pattern))]
            for index in ("idx1", "opendml", "none"):
                flags = self.INDEXES[index]
                with self.subTest(dropped=dropped, index=index):
                    path = self.write(f"dropped_{index}.avi", payloads, **flags)
                    self.assertInfo(path, WIDTH, HEIGHT, len(payloads))
                    # The dropped frames and their neighbours on either side.
                    self.assertFramesLoad(path, expected, only=range(dropped[0] - 1, min(dropped[-1] + 2, 6)))

    def test_dropped_frame_between_inter_frames(self):
        # An empty chunk after frame 1 shows frame 1 again; the predicted frames
        # after it still decode against the right reference.
        payloads = self.mpeg4_packets[:2] + [b""] + self.mpeg4_packets[2:]
        keys = self.mpeg4_keys[:2] + [False] + self.mpeg4_keys[2:]
        expected = [self.mpeg4_frames[i] for i in (0, 1, 1, 2, 3, 4, 5)]
        for index in ("idx1", "opendml"):
            with self.subTest(index=index):
                path = self.write(f"mpeg4_dropped_{index}.avi", payloads, compression=b"FMP4", keyframes=keys,
                                  **self.INDEXES[index])
                self.assertInfo(path, WIDTH, HEIGHT, 7)
                self.assertFramesLoad(path, expected)


class StelpWrittenVideos(VideoCase):
    # stelp-cli's format decides the file: grey formats give an 8-bit
    # palette file, colour formats a 24-bit one.
    WRITE_FORMATS = {"gray8": 8, "grayfloat": 8, "bgr24": 24, "bgrfloat": 24}

    def sources(self):
        """(name, RGB pixels) of bitmaps to convert; odd widths make the DIB row
        padding matter, and a grey bitmap gives R = G = B."""
        rng = np.random.default_rng(7)
        colour = rng.integers(0, 256, (5, 7, 3), dtype=np.uint8)
        grey = np.repeat(rng.integers(0, 256, (4, 9, 1), dtype=np.uint8), 3, axis=2)
        return (("colour", colour), ("grey", grey))

    def test_written_videos_read_back_in_ffmpeg_and_stelp(self):
        for name, rgb in self.sources():
            height, width = rgb.shape[:2]
            src = self.tmp / f"{name}.bmp"
            Image.fromarray(rgb, "RGB").save(src)
            for fmt, bits in self.WRITE_FORMATS.items():
                with self.subTest(source=name, fmt=fmt):
                    out = self.tmp / f"{name}_{fmt}.avi"
                    self.cli_ok("convert", src, out, "--format", fmt)
                    data = out.read_bytes()
                    self.assertEqual(av.stream_format(data)[2], bits)
                    probe = av.ffprobe_video(out)
                    self.assertEqual((probe["codec_name"], probe["r_frame_rate"], probe["nb_read_frames"],
                                      probe["pix_fmt"]), ("rawvideo", "5/1", "1", "pal8" if bits == 8 else "bgr24"))
                    # ffmpeg's bgr24 view of the file: the colours, or the grey
                    # value in all three channels.
                    stored = rgb[..., ::-1] if bits == 24 else np.repeat(grey_of(rgb)[..., None], 3, axis=2)
                    frames = av.ffmpeg_bgr_frames(out, width, height)
                    self.assertEqual(len(frames), 1)
                    np.testing.assert_array_equal(frames[0], stored, err_msg=f"{out.name} in ffmpeg")
                    self.assertInfo(out, width, height, 1)
                    # Stelp reads its own file back in every format; the gray8
                    # and bgr24 files also through each of the indexes it
                    # writes alone, and with none at all.
                    self.assertEqual({b"idx1", b"indx", b"ix00"} - {c[0] for c in av.chunks(data)}, set())
                    reads = [(out, read_fmt) for read_fmt in FORMATS]
                    stripped = (("opendml_only", (b"idx1",)), ("idx1_only", (b"indx",)),
                                ("no_index", (b"idx1", b"indx")))
                    for variant, renamed in stripped if fmt in ("gray8", "bgr24") else ():
                        changed = data
                        for fourcc in renamed:
                            changed = av.retag(changed, fourcc, b"JUNK")
                        path = self.tmp / f"{name}_{fmt}_{variant}.avi"
                        path.write_bytes(changed)
                        reads.append((path, fmt))
                    loaded = self.load_raws([(path, read_fmt, width, height, 0) for path, read_fmt in reads])
                    for (path, read_fmt), got in zip(reads, loaded):
                        with self.subTest(file=path.name, read=read_fmt):
                            if isinstance(got, Exception):
                                raise got
                            self.assertPixels(got, expected_from_rgb(stored[..., ::-1], read_fmt),
                                              f"{path.name} read as {read_fmt}")
