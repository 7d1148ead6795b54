/* The palette sizes below are computed as stb_image 2.27 computes them, so
 * that stb reads every entry the file gives, then black ones. */
#include "image/palette_padding.h"

#include <string.h>

#include "image/byte_reader.h"
#include "image/decoder_limits.h"

#define PNG_PALETTE_CHUNK 780 /* length, type, 256 entries of 3 bytes, CRC */
#define BMP_FILE_HEADER 14

/* Reads `size` bytes from `offset`, as stb sees them: zeros past the end of
 * the file. Returns 0 when not even the first byte is there. */
static int read_at(FILE *file, long offset, unsigned char *into, size_t size) {
    quarn_reader reader = quarn_reader_at(file, offset);
    return quarn_next_bytes(&reader, into, size) > 0;
}

static unsigned long big_endian_32(const unsigned char *p) {
    return (unsigned long)p[0] << 24 | (unsigned long)p[1] << 16 | (unsigned long)p[2] << 8 | p[3];
}

static unsigned little_endian_16(const unsigned char *p) {
    return p[0] | (unsigned)p[1] << 8;
}

static unsigned long little_endian_32(const unsigned char *p) {
    return little_endian_16(p) | (unsigned long)little_endian_16(p + 2) << 16;
}

/* Whether stb fails at a chunk of `type`: a critical one (bit 5 of its first
 * byte clear) it does not know. */
static int stb_refuses(const char *type) {
    static const char known[][4] = {"IHDR", "PLTE", "IDAT", "IEND", "CgBI"};
    size_t i;
    if (type[0] & 0x20) return 0;
    for (i = 0; i < sizeof known / sizeof known[0]; ++i)
        if (!memcmp(type, known[i], 4)) return 0;
    return 1;
}

/* Walks the chunks as stb does, to the end chunk or one stb fails at (after
 * which a file, a sparse one say, may hold any number of bytes), and puts 256
 * black entries before the first palette chunk of a palette image. Without a
 * palette chunk before the image data stb refuses the file, as before. A
 * chunk longer than 2^31 - 1 bytes, which no valid file has, stb skips as a
 * negative length, going on from a place this walk cannot follow (past a
 * leading CgBI chunk it would find a header and palette this walk never
 * saw): such a file is refused wherever the chunk stands before those. */
static const char *pad_png(FILE *file, quarn_splice *splice) {
    static const unsigned char signature[8] = {137, 'P', 'N', 'G', 13, 10, 26, 10};
    unsigned char chunk[8];
    long at = sizeof signature;
    int header_seen = 0;
    int palette_due = 0; /* a palette image's first palette chunk is still to come */
    if (!read_at(file, 0, chunk, sizeof chunk) || memcmp(chunk, signature, sizeof chunk)) return NULL;
    while (read_at(file, at, chunk, sizeof chunk)) {
        const char *type = (const char *)chunk + 4;
        const unsigned long length = big_endian_32(chunk);
        if (length > QUARN_MAX_PNG_CHUNK_BYTES) return "PNG chunk longer than 2^31 - 1 bytes";
        if (!memcmp(type, "IEND", 4) || stb_refuses(type)) break;
        if (!memcmp(type, "IHDR", 4) && !header_seen) {
            unsigned char colour_type;
            header_seen = 1; /* stb refuses a second one, and another length */
            palette_due =
                length == 13 && read_at(file, at + 8 + 9, &colour_type, 1) && colour_type == 3;
        } else if (!memcmp(type, "IDAT", 4)) {
            palette_due = 0;
        } else if (!memcmp(type, "PLTE", 4) && palette_due) {
            splice->at = at;
            splice->length = PNG_PALETTE_CHUNK;
            memset(splice->bytes, 0, PNG_PALETTE_CHUNK);
            memcpy(splice->bytes, "\0\0\3\0PLTE", 8);
            palette_due = 0;
        }
        at += 12 + (long)length;
    }
    return NULL;
}

/* A BMP of under 16 bits a pixel: the entries its palette
 * gives are followed by black ones up to what its pixels can name, and the
 * pixel offset moves so that stb counts them all. stb counts an OS/2 palette
 * (12-byte header) from byte 38 instead of 26, four entries short, so there
 * the entries stb skipped are read too. */
static const char *pad_bmp(FILE *file, quarn_splice *splice) {
    unsigned char header[BMP_FILE_HEADER + 20];
    long offset, info_size, bits, entry, start, given, counted, wanted, moved, given_end;
    if (!read_at(file, 0, header, sizeof header) || header[0] != 'B' || header[1] != 'M') return NULL;
    offset = (long)(int)little_endian_32(header + 10);
    info_size = (long)little_endian_32(header + 14);
    if (offset < 0 || (info_size != 12 && info_size != 40 && info_size != 56 && info_size != 108 &&
                       info_size != 124))
        return NULL;
    bits = little_endian_16(header + (info_size == 12 ? 24 : 28));
    /* stb refuses a positive compression field itself (run-length, embedded
     * images, bit fields under 16 bits), for its own reason, and takes a
     * negative one as none. */
    if (bits >= 16 || (info_size != 12 && (int)little_endian_32(header + 30) > 0)) return NULL;
    entry = info_size == 12 ? 3 : 4;
    start = BMP_FILE_HEADER + info_size;
    given = offset > start ? (offset - start) / entry : 0;
    if (given == 0) return "BMP pixel offset leaves no room for its palette";
    counted = info_size == 12 ? (offset - 38) / 3 : (offset - start) >> 2;
    wanted = bits == 1 || bits == 4 || bits == 8 ? 1L << bits : 0;
    if (wanted == 0 || counted >= wanted) return NULL; /* stb refuses other depths */

    moved = info_size == 12 ? 38 + 3 * wanted : offset + 4 * (wanted - counted);
    given_end = start + given * entry;
    splice->at = 10;
    splice->removed = given_end - splice->at;
    splice->length = 4 + (size_t)(given_end - BMP_FILE_HEADER) + (size_t)(moved - offset);
    memset(splice->bytes, 0, splice->length);
    splice->bytes[0] = (unsigned char)moved;
    splice->bytes[1] = (unsigned char)(moved >> 8);
    splice->bytes[2] = (unsigned char)(moved >> 16);
    splice->bytes[3] = (unsigned char)(moved >> 24);
    /* Past the end of a short file stb reads zeros, as here. */
    read_at(file, BMP_FILE_HEADER, splice->bytes + 4, (size_t)(given_end - BMP_FILE_HEADER));
    return NULL;
}

const char *quarn_pad_palette(FILE *file, quarn_splice *splice) {
    const char *refusal;
    memset(splice, 0, sizeof *splice);
    refusal = pad_png(file, splice);
    return refusal || splice->length ? refusal : pad_bmp(file, splice);
}
