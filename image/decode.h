/* The C boundary around stb_image: decode one open file into RGBA bytes,
 * safely, whatever the file holds. */
#ifndef QUARN_IMAGE_DECODE_H
#define QUARN_IMAGE_DECODE_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Images declaring more pixels are refused before decoding. */
#define QUARN_MAX_PIXELS 250000000LL

/* Reads past the end of the file beyond this many bytes end the decode. */
#define QUARN_MAX_BYTES_PAST_END (1 << 20)

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
 * On failure returns 0, leaves `image` empty and fills `error`: files that
 * declare more than QUARN_MAX_PIXELS pixels, need more decoder memory than
 * their declared size justifies, read far past their end, or trip one of the
 * decoder's internal checks all fail here. Every allocation is released. */
int quarn_decode(FILE *file, quarn_image *image, quarn_decode_error *error);

/* Releases what quarn_decode allocated; accepts an empty image. */
void quarn_image_free(quarn_image *image);

#ifdef __cplusplus
}
#endif

#endif
