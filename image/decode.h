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

/* Images declaring more pixels than this many per byte of file are refused
 * before decoding, since no file of the format can hold them: a JPEG needs a
 * bit for each 8 x 8 block of its largest plane (a quarter of that with the
 * most lopsided sampling factors), a GIF's 12-bit LZW codes stand for at most
 * 4096 pixels each (counted on its first frame: the screen around the frame
 * needs no data), and no other format stb reads beats PIC's runs of 65535
 * pixels in 4 bytes. Otherwise stb's JPEG, GIF, PIC and PSD decoders would
 * fill a huge declared image from a few bytes, costing seconds and
 * gigabytes. */
#define QUARN_MAX_JPEG_PIXELS_PER_BYTE 2048LL
#define QUARN_MAX_GIF_PIXELS_PER_BYTE 4096LL
#define QUARN_MAX_PIXELS_PER_BYTE 16384LL

/* A GIF whose first frame's LZW codes expand to more pixels than the frame
 * has, by over this many per byte of file, is refused before decoding. stb
 * walks each code's whole prefix chain, up to 4095 links, even past the
 * frame's last pixel: a 1 x 1 frame fed such chains cost 6 s a megabyte.
 * Valid frames expand to their own size; this keeps the surplus under half
 * a second a megabyte. */
#define QUARN_MAX_GIF_SURPLUS_PIXELS_PER_BYTE 256LL

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
 * The pixels depend on the file alone: the decoder's memory starts zeroed
 * (but for a JPEG's output, which stb writes whole), pixel values past a PNG
 * or BMP palette are black, and a BMP's negative height gives its rows top
 * row first.
 * On failure returns 0, leaves `image` empty and fills `error` with a
 * non-empty reason, stb's own where it gives one: files that declare a
 * negative size, more than QUARN_MAX_PIXELS, or more than their size can
 * hold, need more decoder memory than their declared size justifies, read far
 * past their end, hold a JPEG structure stb would misread, cut short or
 * decode out of proportion to the file (see jpeg_structure.h), a BMP pixel
 * offset inside its header or palette, a PNG chunk stb would skip backwards
 * (see palette_padding.h), a GIF frame whose codes expand past
 * QUARN_MAX_GIF_SURPLUS_PIXELS_PER_BYTE or that the file cuts short (see
 * gif_structure.h), or trip one of the decoder's
 * internal checks all fail here. Every allocation is released. A GIF's
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
