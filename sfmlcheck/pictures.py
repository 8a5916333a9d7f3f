"""Pictures in and out: what a screen capture or the frame counter gives, as
RGB bytes row by row, and the PNG files a person looks at."""

import io

import numpy
from PIL import Image as _PIL

BLACK = (0, 0, 0)
GREEN = (0, 255, 0)
# Between the pictures of a comparison.
GAP = 8
GAP_GREY = 128


class Image:
    """An RGB picture: its size and its pixels, three bytes each, top row first."""

    def __init__(self, width, height, pixels):
        if len(pixels) != width * height * 3:
            raise ValueError(f"{len(pixels)} bytes are no {width} x {height} RGB picture")
        self.width, self.height, self.pixels = width, height, bytes(pixels)

    @classmethod
    def decode(cls, data):
        """A picture from a file's bytes: PPM, PNG or any other Pillow reads."""
        with _PIL.open(io.BytesIO(data)) as picture:
            picture = picture.convert("RGB")
            return cls(picture.width, picture.height, picture.tobytes())

    @classmethod
    def read(cls, path):
        with open(path, "rb") as f:
            return cls.decode(f.read())

    @classmethod
    def of(cls, array):
        """A picture from a height x width x 3 array of bytes."""
        array = numpy.ascontiguousarray(array, dtype=numpy.uint8)
        return cls(array.shape[1], array.shape[0], array.tobytes())

    def array(self):
        return numpy.frombuffer(self.pixels, numpy.uint8).reshape(self.height, self.width, 3)

    def pixel(self, x, y):
        offset = (y * self.width + x) * 3
        return tuple(self.pixels[offset:offset + 3])

    def black(self):
        """Whether nothing at all is drawn."""
        return not self.pixels.strip(b"\0")

    def save(self, path):
        _PIL.frombytes("RGB", (self.width, self.height), self.pixels).save(path, "PNG")


def side_by_side(expected, found):
    """Expected, found and their difference side by side: pixels that differ
    red, the rest dimmed, with a grey gap between them."""
    want, got = expected.array(), found.array()
    difference = got // 4
    difference[(want != got).any(axis=2)] = (255, 0, 0)
    gap = numpy.full((found.height, GAP, 3), GAP_GREY, numpy.uint8)
    return Image.of(numpy.hstack([want, gap, got, gap, difference]))
