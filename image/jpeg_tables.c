/* stb_image 2.27 fills a Huffman table of 257 entries from the segment's 16
 * code counts without checking that they add up to at most 256, so a hostile
 * table writes up to 4 KB past it, over the decoder's other tables and
 * function pointers. The walk below visits every marker segment stb could
 * reach, a superset of those it reads, and checks each table's counts. */
#include "image/jpeg_tables.h"

#define MARKER_SOI 0xD8
#define MARKER_EOI 0xD9
#define MARKER_DHT 0xC4
#define MAX_CODES 256

/* Past EOF stb reads zeros. */
static int next_byte(FILE *file) {
    int c = getc(file);
    return c == EOF ? 0 : c;
}

/* The next marker after the current position, skipping entropy-coded data and
 * padding as stb does: 0xFF, any fill 0xFFs, then a byte that is neither a
 * stuffed zero nor a restart marker. EOF at the end of the file. */
static int next_marker(FILE *file) {
    int c;
    for (;;) {
        do c = getc(file); while (c != 0xFF && c != EOF);
        do c = getc(file); while (c == 0xFF);
        if (c == EOF) return EOF;
        if (c != 0x00 && (c < 0xD0 || c > 0xD7)) return c;
    }
}

/* A DHT segment holds tables until its length runs out, as stb reads it. */
static int huffman_segment_fits(FILE *file, long length) {
    while (length > 0) {
        int i, codes = 0;
        next_byte(file); /* table class and slot */
        for (i = 0; i < 16; ++i) codes += next_byte(file);
        if (codes > MAX_CODES) return 0;
        if (fseek(file, codes, SEEK_CUR) != 0) return 1;
        length -= 17 + codes;
    }
    return 1;
}

int quarn_jpeg_tables_fit(FILE *file) {
    int marker;
    while ((marker = next_marker(file)) != EOF && marker != MARKER_EOI) {
        long length;
        if (marker == MARKER_SOI) continue;
        length = next_byte(file) << 8;
        length |= next_byte(file);
        if (marker == MARKER_DHT) {
            if (!huffman_segment_fits(file, length - 2)) return 0;
        } else if (length < 2 || fseek(file, length - 2, SEEK_CUR) != 0) {
            return 1; /* stb stops at such a segment too */
        }
    }
    return 1;
}
