"""Deterministic photo-like test images: smooth light, soft shapes, mild grain.

Noise would make PNG and JPEG files unusually large and slow to decode, so the
images mimic photographs instead: gradients, blurred shapes and fine texture.
"""
from pathlib import Path

import numpy
from PIL import Image, ImageDraw, ImageFilter


def photo(width, height, seed=7):
    """An (height, width, 3) uint8 RGB picture; the same scene at any size."""
    rng = numpy.random.default_rng(seed)
    y = numpy.linspace(0.0, 1.0, height, dtype=numpy.float32)[:, None, None]
    x = numpy.linspace(0.0, 1.0, width, dtype=numpy.float32)[None, :, None]
    sky, ground = numpy.array([110, 160, 225], numpy.float32), numpy.array([70, 95, 45], numpy.float32)
    light = sky + (ground - sky) * y + 35 * (x - 0.5)
    picture = Image.fromarray(numpy.clip(light, 0, 255).astype(numpy.uint8), "RGB")

    draw = ImageDraw.Draw(picture)
    for _ in range(40):
        cx, cy, r = rng.uniform(0, width), rng.uniform(0, height), rng.uniform(0.02, 0.15) * height
        colour = tuple(int(c) for c in rng.integers(20, 236, 3))
        box = [cx - r, cy - r * rng.uniform(0.5, 1.5), cx + r, cy + r]
        (draw.ellipse if rng.random() < 0.5 else draw.rectangle)(box, fill=colour)

    # Low-frequency shading (coarse random grid, smoothly enlarged) and grain.
    coarse = rng.normal(0, 18, (height // 120 + 2, width // 120 + 2)).astype(numpy.float32)
    shading = numpy.asarray(Image.fromarray(coarse, "F").resize((width, height), Image.BICUBIC))
    grain = rng.normal(0, 8, (height, width, 1)).astype(numpy.float32)
    textured = numpy.asarray(picture, numpy.float32) + shading[:, :, None] + grain
    picture = Image.fromarray(numpy.clip(textured, 0, 255).astype(numpy.uint8), "RGB")
    return numpy.asarray(picture.filter(ImageFilter.GaussianBlur(1.0)))


FORMATS = {"PNG": {}, "JPEG": {"quality": 90}}
TINY = (16, 16)  # for warm-up calls


def photo_path(folder, fmt, size):
    return Path(folder) / f"photo-{size[0]}x{size[1]}.{fmt.lower()}"


def write_photos(folder, sizes):
    """Writes a PNG and a JPEG file of photo() for each (width, height) and TINY."""
    Path(folder).mkdir(parents=True, exist_ok=True)
    for size in [TINY, *sizes]:
        picture = Image.fromarray(photo(*size))
        for fmt, options in FORMATS.items():
            picture.save(photo_path(folder, fmt, size), fmt, **options)
