"""Photo-like test pictures: smooth light, a few solid shapes, sensor noise."""
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy
from PIL import Image


def photo_like(seed, width, height):
    """An (height, width, 3) uint8 RGB picture, the same for the same arguments:
    a colour gradient, 3 to 7 shaded ellipses and rectangles, Gaussian noise."""
    rng = numpy.random.default_rng(seed)
    y, x = numpy.ogrid[0:height, 0:width]
    y = (y / height).astype(numpy.float32)
    x = (x / width).astype(numpy.float32)
    start, right, down = (rng.uniform(low, high, 3).astype(numpy.float32)
                          for low, high in ((20, 235), (-60, 60), (-60, 60)))
    picture = start + right * x[..., None] + down * y[..., None]
    for _ in range(rng.integers(3, 8)):
        cx, cy, rx, ry = rng.uniform(0, 1, 2).tolist() + rng.uniform(0.05, 0.3, 2).tolist()
        top, bottom = int(max(cy - ry, 0) * height), int(min(cy + ry, 1) * height)
        left, right_edge = int(max(cx - rx, 0) * width), int(min(cx + rx, 1) * width)
        rows, cols = y[top:bottom], x[:, left:right_edge]
        inside = numpy.ones((bottom - top, right_edge - left), bool)
        if rng.random() < 0.5:
            inside = ((cols - cx) / rx) ** 2 + ((rows - cy) / ry) ** 2 < 1
        shade = 1 - 0.4 * (rows - cy + ry) / (2 * ry)   # darker towards the bottom
        colour = rng.uniform(0, 255, 3).astype(numpy.float32) * shade[..., None]
        region = picture[top:bottom, left:right_edge]
        region[inside] = numpy.broadcast_to(colour, region.shape)[inside]
    picture += rng.normal(0, 3, (height, width, 1)).astype(numpy.float32)
    return numpy.clip(picture, 0, 255).astype(numpy.uint8)


def _write(seed, path):
    width = int(numpy.random.default_rng(seed).integers(640, 1281)) // 16 * 16
    height = width * 3 // 4
    if seed % 3 == 2:
        width, height = height, width   # some portraits
    image = Image.fromarray(photo_like(seed, width, height))
    partial = path.with_name(f".{path.name}.part")   # no half-written picture kept on a stop
    if path.suffix == ".jpg":
        image.save(partial, format="JPEG", quality=90)
    else:
        image.save(partial, format="PNG", compress_level=1)
    partial.replace(path)


def write_sample(folder, count, workers=None):
    """Writes `count` pictures, 640x480 to 1280x960, alternately JPEG and PNG, as
    folder/partK/NNNN.jpg|png (100 a part); files already there are kept."""
    todo = []
    for seed in range(count):
        path = Path(folder) / f"part{seed // 100}" / f"{seed:04d}.{('jpg', 'png')[seed % 2]}"
        if not path.exists():
            path.parent.mkdir(parents=True, exist_ok=True)
            todo.append((seed, path))
    if todo:
        with ProcessPoolExecutor(workers) as pool:
            list(pool.map(_write, *zip(*todo), chunksize=8))
