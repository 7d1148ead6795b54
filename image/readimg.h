// readimg: an image file into (3, H, W) planes, blue, green, red.
#pragma once

#include "image/path_argument.h"

#include <pybind11/numpy.h>

namespace quarn {

// Decodes the file at `path` (UTF-8 or raw bytes) with stb_image, recognising
// JPEG, PNG, BMP, GIF, PSD, PIC, PNM, HDR and TGA by content.
//  Returns (3, H, W) int64: plane 0 blue, 1 green, 2 red (grey files give three
//  equal planes; alpha is dropped; 16-bit samples keep their high byte); row 0
//  is the top row. Each byte of the file is read from it once (read_once.h),
//  so the checks and the decode judge the same bytes. The open, the decode and
//  the split into planes run without the interpreter lock.
//  Errors: TypeError for None and anything but str and bytes; ValueError
//  "embedded null byte" for a path with a NUL byte; the OSError subclass of
//  errno, with `filename` the str or bytes given, when the file cannot be
//  opened or is not a regular file; ValueError naming the path and the
//  decoder's reason when it does not decode; MemoryError when memory runs out.
pybind11::array readimg(const path_argument &path);

}  // namespace quarn
