"""The calls the bench compares: quarn's and the baselines', by name.

Each factory takes the input and returns {name: call}; a call takes no
arguments and returns its result, which owns all memory the call kept.
"""
import ctypes
import os
from pathlib import Path

import cv2
import numpy
from PIL import Image

import quarn

STB_LIBRARIES = Path(__file__).resolve().parent.parent / "build" / "bench"
# OpenCV is the single-threaded baseline; quarn runs no threads either.
cv2.setNumThreads(1)
SOBEL_KERNEL = numpy.array([[0, 2, 2], [-2, 0, 2], [-2, -2, 0]], numpy.float32)


class StbPixels:
    """RGBA pixels from stbi_load, freed with stbi_image_free."""

    def __init__(self, library, path):
        width, height, channels = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
        self._library = library
        self._pixels = library.stbi_load(os.fsencode(path), ctypes.byref(width), ctypes.byref(height),
                                         ctypes.byref(channels), 4)
        if not self._pixels:
            raise ValueError(f"stb_image cannot decode {path}")
        self.nbytes = width.value * height.value * 4

    def __del__(self):
        if getattr(self, "_pixels", None):
            self._library.stbi_image_free(self._pixels)


def load_stb(variant=""):
    library = ctypes.CDLL(str(STB_LIBRARIES / f"libstb_decode{variant}.so"))
    library.stbi_load.restype = ctypes.c_void_p
    library.stbi_load.argtypes = [ctypes.c_char_p] + [ctypes.POINTER(ctypes.c_int)] * 3 + [ctypes.c_int]
    library.stbi_image_free.argtypes = [ctypes.c_void_p]
    return library


def decoders(path):
    """Decoders of one image file; the first is the reference for ratios."""
    stb, zeroed, name = load_stb(), load_stb("_zeroed"), str(path)
    return {
        "stb_image decode alone": lambda: StbPixels(stb, name),
        "stb_image, zeroed allocations": lambda: StbPixels(zeroed, name),
        "quarn.readimg": lambda: quarn.readimg(name),
        "cv2.imread": lambda: cv2.imread(name),
        "Pillow asarray(convert RGB)": lambda: numpy.asarray(Image.open(name).convert("RGB")),
    }


def opencv_edges(image):
    """quarn.sobel's edge map with OpenCV: the correlation of plane 0 with the
    kernel over a zero border, in int16 (no overflow for 8-bit input)."""
    plane = image[0] if image.dtype == numpy.uint8 else image[0].astype(numpy.uint8)
    s = cv2.filter2D(plane, cv2.CV_16S, SOBEL_KERNEL, anchor=(-1, -1),
                     borderType=cv2.BORDER_CONSTANT)
    return (s > 20).astype(numpy.int64) * 255


def edge_mappers(image):
    """Edge maps of one (3, H, W) array; the last is the reference for ratios."""
    return {
        "quarn.sobel": lambda: quarn.sobel(image),
        "OpenCV filter2D, 1 thread": lambda: opencv_edges(image),
    }


def sobel_input(png_path, dtype):
    """The (3, H, W) planes of a PNG file as readimg gives them (int64) or as uint8."""
    image = quarn.readimg(str(png_path))
    return image if dtype == "int64" else image.astype(dtype)
