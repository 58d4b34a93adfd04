"""Helpers for the AVI interop tests: running ffmpeg and ffprobe, walking the
RIFF chunks of a file, and building small AVI files by hand (for layouts
ffmpeg never writes: an OpenDML index without idx1, dropped frames)."""
import json
import struct
import subprocess

import numpy as np

FFMPEG_TIMEOUT = 120

# A finite test pattern: 64x48 at 5 frames per second for 1.2 s, six frames.
CLIP_SIZE = (64, 48)
CLIP_FRAMES = 6
TESTSRC = "testsrc=size=64x48:rate=5:duration=1.2"
SINE = "sine=frequency=440:sample_rate=8000:duration=1.2"


def ffmpeg(*args, timeout=FFMPEG_TIMEOUT):
    """Runs ffmpeg without reading the terminal; returns its stdout bytes."""
    r = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-v", "error", "-y", *map(str, args)],
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
    if r.returncode != 0:
        raise AssertionError(f"ffmpeg {' '.join(map(str, args))} failed: {r.stderr.decode(errors='replace')}")
    return r.stdout


def ffprobe_video(path, timeout=FFMPEG_TIMEOUT):
    """codec_name, pix_fmt, r_frame_rate and nb_read_frames (every packet
    decoded and counted) of the first video stream, as ffprobe reports them.
    ffprobe has no -nostdin option; its stdin is /dev/null instead."""
    r = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                        "-show_entries", "stream=codec_name,pix_fmt,r_frame_rate,nb_read_frames",
                        "-of", "json", str(path)],
                       stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=timeout)
    if r.returncode != 0:
        raise AssertionError(f"ffprobe {path} failed: {r.stderr}")
    streams = json.loads(r.stdout)["streams"]
    if len(streams) != 1:
        raise AssertionError(f"ffprobe found {len(streams)} video streams in {path}")
    return streams[0]


def ffmpeg_bgr_frames(path, width, height):
    """Every frame of the first video stream as ffmpeg decodes it to bgr24,
    shape (frames, height, width, 3). Frames are passed through as stored (no
    frame-rate conversion), so frame i here is frame i of the file."""
    data = ffmpeg("-i", path, "-map", "0:v:0", "-fps_mode", "passthrough",
                  "-f", "rawvideo", "-pix_fmt", "bgr24", "-")
    frame = width * height * 3
    if len(data) % frame:
        raise AssertionError(f"ffmpeg gave {len(data)} bytes for {path}, not whole {width}x{height} frames")
    return np.frombuffer(data, np.uint8).reshape(-1, height, width, 3)


def chunks(data, start=0, end=None):
    """(fourcc, list type or None, offset, size) of the chunks in data[start:end],
    descending into RIFF and LIST chunks; offsets are those of the chunk headers."""
    end = len(data) if end is None else end
    found = []
    pos = start
    while pos + 8 <= end:
        fourcc, size = struct.unpack_from("<4sI", data, pos)
        if fourcc in (b"RIFF", b"LIST"):
            found.append((fourcc, data[pos + 8:pos + 12], pos, size))
            found += chunks(data, pos + 12, min(pos + 8 + size, end))
        else:
            found.append((fourcc, None, pos, size))
        pos += 8 + size + (size & 1)
    return found


def retag(data, old, new):
    """A copy of AVI bytes with every chunk `old` renamed `new` (same size), so
    readers skip it like any unknown chunk."""
    out = bytearray(data)
    hits = [pos for fourcc, _, pos, _ in chunks(data) if fourcc == old]
    if not hits:
        raise AssertionError(f"no {old!r} chunk to rename")
    for pos in hits:
        out[pos:pos + 4] = new
    return bytes(out)


def stream_format(data):
    """The BITMAPINFOHEADER of the first video stream: (width, height,
    bit count, compression fourcc)."""
    for fourcc, _, pos, _ in chunks(data):
        if fourcc == b"strh" and data[pos + 8:pos + 12] == b"vids":
            strf = pos + 8 + struct.unpack_from("<I", data, pos + 4)[0]
            strf += strf & 1
            assert data[strf:strf + 4] == b"strf"
            _, width, height, _, bits, compression = struct.unpack_from("<IiiHH4s", data, strf + 8)
            return width, height, bits, compression
    raise AssertionError("no video stream header")


def dib_rows(bgr):
    """Bottom-up, 4-byte padded rows of an (h, w, 3) BGR or (h, w) 8-bit array."""
    a = np.asarray(bgr, dtype=np.uint8)
    row_bytes = a.shape[1] * (3 if a.ndim == 3 else 1)
    stride = (row_bytes + 3) // 4 * 4
    return b"".join(row.tobytes().ljust(stride, b"\0") for row in a[::-1])


def _chunk(fourcc, payload):
    return fourcc + struct.pack("<I", len(payload)) + payload + b"\0" * (len(payload) & 1)


def _list(kind, payload):
    return b"LIST" + struct.pack("<I", len(payload) + 4) + kind + payload


def avi_file(width, height, bits, frames, *, palette=None, compression=b"\0\0\0\0", keyframes=None,
             idx1=True, odml=False, rate=5):
    """A one-stream AVI holding `frames` (payloads; b"" is a dropped frame) in
    '00db' chunks, with an idx1 index, an OpenDML super index plus one 'ix00'
    standard index at the end of movi, both, or neither. `keyframes` flags
    which frames are key frames (all by default); `palette` is a list of
    (r, g, b) entries for the stream format."""
    keyframes = [True] * len(frames) if keyframes is None else keyframes
    biggest = max((len(f) for f in frames), default=0)
    pal = b"".join(bytes((b, g, r, 0)) for r, g, b in (palette or ()))
    strf = struct.pack("<IiiHH4sIiiII", 40, width, height, 1, bits, compression,
                       width * height * bits // 8, 0, 0, len(palette or ()), 0) + pal
    strh = struct.pack("<4s4sIHHIIIIIIiI4h", b"vids", b"DIB " if compression == b"\0\0\0\0" else compression,
                       0, 0, 0, 0, 1, rate, 0, len(frames), biggest, -1, 0, 0, 0, width, height)

    def header(ix_offset, ix_size):
        avih = struct.pack("<10I4I", 1000000 // rate, biggest * rate, 0, 0x10 if idx1 else 0, len(frames),
                           0, 1, biggest, width, height, 0, 0, 0, 0)
        strl = _chunk(b"strh", strh) + _chunk(b"strf", strf)
        if odml:
            # A super index with one entry: the 'ix00' chunk inside movi.
            strl += _chunk(b"indx", struct.pack("<HBBI4s3I", 4, 0, 0, 1, b"00db", 0, 0, 0)
                           + struct.pack("<QII", ix_offset, ix_size, len(frames)))
        return _list(b"hdrl", _chunk(b"avih", avih) + _list(b"strl", strl))

    head_len = 12 + len(header(0, 0))
    movi_pos = head_len  # offset of the movi LIST header
    body = b""
    entries = []  # (offset of the chunk header from the 'movi' fourcc, size)
    for payload in frames:
        entries.append((4 + len(body), len(payload)))
        body += _chunk(b"00db", payload)
    ix_offset = ix_size = 0
    if odml:
        base = movi_pos + 8  # the 'movi' fourcc; entries point at chunk data
        ix = struct.pack("<HBBI4sQI", 2, 0, 1, len(frames), b"00db", base, 0)
        for (rel, size), key in zip(entries, keyframes):
            ix += struct.pack("<II", rel + 8, size | (0 if key else 0x80000000))
        ix_offset = movi_pos + 12 + len(body)
        ix_size = len(ix) + 8
        body += _chunk(b"ix00", ix)
    riff_body = b"AVI " + header(ix_offset, ix_size) + _list(b"movi", body)
    if idx1:
        riff_body += _chunk(b"idx1", b"".join(struct.pack("<4sIII", b"00db", 0x10 if key else 0, rel, size)
                                               for (rel, size), key in zip(entries, keyframes)))
    return b"RIFF" + struct.pack("<I", len(riff_body)) + riff_body
