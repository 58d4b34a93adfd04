"""Writes SER videos for the tests, from the public description of the
format (version 3): a 178-byte header of little-endian fields, the frames
top row first, then optionally one 8-byte time stamp per frame.

The LittleEndian field is stored as given; real capture programs write 0
for little-endian 16-bit data, which is how `words_big_endian` chooses the
byte order of the data.
"""

import struct

HEADER_SIZE = 178
MONO, BAYER_RGGB, BAYER_GRBG, BAYER_GBRG, BAYER_BGGR, RGB, BGR = 0, 8, 9, 10, 11, 100, 101


def header(width, height, depth, frames, colour_id=MONO, little_endian_field=0, file_id=b"LUCAM-RECORDER"):
    fields = struct.pack("<14s7i", file_id, 0, colour_id, little_endian_field, width, height, depth, frames)
    names = b"observer".ljust(40) + b"instrument".ljust(40) + b"telescope".ljust(40)
    dates = struct.pack("<qq", 638000000000000000, 638000000000000000)
    data = fields + names + dates
    assert len(data) == HEADER_SIZE
    return data


def planes(colour_id):
    return 3 if colour_id in (RGB, BGR) else 1


def frame_bytes(values, depth, big_endian):
    """The bytes of one frame's values (row by row, planes interleaved)."""
    if depth <= 8:
        return bytes(values)
    return struct.pack((">" if big_endian else "<") + "%dH" % len(values), *values)


def ser_file(width, height, depth, frames, colour_id=MONO, big_endian=False, timestamps=False,
             declared_frames=None):
    """A whole file: `frames` is a list of value lists, each width x height x
    planes long. `declared_frames` overrides FrameCount."""
    data = header(width, height, depth, len(frames) if declared_frames is None else declared_frames,
                  colour_id, 1 if big_endian else 0)
    for values in frames:
        assert len(values) == width * height * planes(colour_id)
        data += frame_bytes(values, depth, big_endian)
    if timestamps:
        data += b"".join(struct.pack("<q", 638000000000000000 + k) for k in range(len(frames)))
    return data
