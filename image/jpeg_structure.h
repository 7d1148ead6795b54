/* Checks of a JPEG file's marker segments and scans, made before stb_image
 * decodes it. */
#ifndef QUARN_IMAGE_JPEG_STRUCTURE_H
#define QUARN_IMAGE_JPEG_STRUCTURE_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What the walk learns of a frame stb may decode. */
typedef struct quarn_jpeg_frame {
    /* Samples of stb's largest plane, padded to whole MCUs (up to 32 x 32
     * pixels): what stb allocates per component, beside 2-byte coefficients
     * in progressive files. 0 when the file has no frame stb reads. */
    long long padded_samples;
} quarn_jpeg_frame;

/* Returns why stb_image must not decode the JPEG in `file`, of `file_size`
 * bytes (-1: unknown), or NULL when it may, and fills `frame`. Refused: a
 * Huffman table of more than QUARN_JPEG_MAX_HUFFMAN_CODES codes; a scan that
 * decodes with a Huffman table no segment before it defined, or a frame
 * component whose quantisation table the file never defines (stb would read
 * them uninitialised); a frame of more blocks than the file can hold
 * (QUARN_JPEG_MAX_BLOCKS_PER_BYTE); in a sequential frame, a component named
 * by a second scan; in a progressive one, scans decoding more than
 * QUARN_JPEG_MAX_PASSES times the frame's blocks; a scan whose data runs
 * longer than its blocks can take (QUARN_JPEG_MAX_SCAN_BYTES_PER_BLOCK); and
 * after the frame, the end of the file before the end-of-image marker, a
 * byte where a marker must follow, a marker or segment stb cannot read
 * there, or a restart marker without a restart interval (stb 2.27 fails on
 * those, stb 2.28 and later return the image decoded so far). The walk stops,
 * refusing nothing more, at a frame of more than QUARN_MAX_PIXELS, which the
 * size check refuses. */
const char *quarn_jpeg_structure_fault(FILE *file, long long file_size, quarn_jpeg_frame *frame);

#ifdef __cplusplus
}
#endif

#endif
