/* Full palettes for stb_image's PNG and BMP decoders. */
#ifndef QUARN_IMAGE_PALETTE_PADDING_H
#define QUARN_IMAGE_PALETTE_PADDING_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Room for a BMP's pixel offset, largest header and a palette of 256 entries
 * of 4 bytes, the most a splice holds. */
#define QUARN_SPLICE_BYTES (4 + 124 + 1024)

/* A change to the file as the decoder reads it: the `length` bytes of `bytes`
 * stand in for the file's `removed` bytes from offset `at`. */
typedef struct quarn_splice {
    long at, removed;
    size_t length;
    unsigned char bytes[QUARN_SPLICE_BYTES];
} quarn_splice;

/* stb 2.27 keeps PNG and BMP palettes on the stack and looks up any pixel
 * value in them, so values past the file's palette read stale stack. Fills
 * `splice` so that stb finds a full palette whose added entries are black:
 * for a palette PNG, a chunk of 256 black entries before its first palette
 * chunk (stb ignores CRCs; the file's own chunk then sets the entries and
 * count it gives); for a 1-, 4- or 8-bit BMP, entries up to the 2, 16 or 256
 * its pixels can name, with the pixel offset moved past them (an OS/2 BMP's
 * last four given entries, which stb skips, are read too). Other files get
 * an empty splice. Returns NULL, or why the file is refused: a BMP whose pixel
 * offset leaves no room for the palette stb would read, or a PNG with a chunk
 * stb would skip backwards (over QUARN_MAX_PNG_CHUNK_BYTES) anywhere before
 * its end chunk. */
const char *quarn_pad_palette(FILE *file, quarn_splice *splice);

#ifdef __cplusplus
}
#endif

#endif
