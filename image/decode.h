/* The C boundary around stb_image: decode one open file into RGBA bytes. */
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

/* Decodes `file` from its current position, recognising the format by content.
 * Returns 1 and fills `image` (release it with quarn_image_free) on success.
 * Returns 0 on failure with *reason set to a static text and `image` empty;
 * *out_of_memory is then 1 when memory ran out, else 0. */
int quarn_decode(FILE *file, quarn_image *image, const char **reason, int *out_of_memory);

/* Releases what quarn_decode allocated; accepts an empty image. */
void quarn_image_free(quarn_image *image);

#ifdef __cplusplus
}
#endif

#endif
