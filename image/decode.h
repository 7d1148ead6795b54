/* The C boundary around stb_image: decode one open file into RGBA bytes,
 * safely, whatever the file holds. */
#ifndef QUARN_IMAGE_DECODE_H
#define QUARN_IMAGE_DECODE_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct quarn_image {
    unsigned char *pixels; /* width * height * 4 bytes, R G B A, top row first */
    int width;
    int height;
} quarn_image;

typedef struct quarn_decode_error {
    int out_of_memory; /* 1 when the system ran out of memory */
    char reason[200];  /* why the file did not decode */
} quarn_decode_error;

/* Decodes `file` from its start, recognising the format by content.
 * On success returns 1 and fills `image`; release it with quarn_image_free.
 * The pixels depend on the file alone: the decoder's memory starts zeroed
 * (but for a JPEG's output, which stb writes whole), pixel values past a PNG
 * or BMP palette are black, and a BMP's negative height gives its rows top
 * row first.
 * On failure returns 0, leaves `image` empty and fills `error` with a
 * non-empty reason, stb's own where it gives one. Files beyond the limits of
 * decoder_limits.h fail here: those that declare a negative size, more than
 * QUARN_MAX_PIXELS, or more than their size can hold, need more decoder
 * memory than their budget, or read far past their end; so do files holding
 * a JPEG structure stb would misread, cut short or decode out of proportion
 * to the file (see jpeg_structure.h), a BMP pixel offset inside its header or
 * palette, a PNG chunk stb would skip backwards (see palette_padding.h), a
 * GIF frame whose codes expand far past it or that the file cuts short (see
 * gif_structure.h), or tripping one of the decoder's internal checks.
 * Every allocation is released. A GIF's
 * decode runs on a thread of its own where the calling thread's stack lacks
 * the room stb's GIF loader needs (its state, then a call a prefix chain
 * link), even where it fails before the first frame; a thread that cannot
 * start fails as out of memory. */
int quarn_decode(FILE *file, quarn_image *image, quarn_decode_error *error);

/* Releases what quarn_decode allocated; accepts an empty image. */
void quarn_image_free(quarn_image *image);

#ifdef __cplusplus
}
#endif

#endif
