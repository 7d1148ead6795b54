/* The walk below follows stb_image's GIF loader (stbi__gif_load_next and
 * stbi__process_gif_raster) step for step, with a chain length in place of
 * each code's prefix and pixel. */
#include "image/gif_structure.h"

#include <stdlib.h>
#include <string.h>

#include "image/byte_reader.h"

#define MAX_CODES 8192 /* the size of stb's table */

static void skip_sub_blocks(quarn_reader *reader) {
    int length;
    while ((length = quarn_next_byte(reader)) != 0) quarn_skip(reader, length);
}

/* The sub-blocks of a frame's data, read a block at a time. */
typedef struct data_blocks {
    quarn_reader *reader;
    int at, length, in_file; /* in_file: the block's bytes the file holds */
    int past_end;            /* 1 once a byte or length came from past the end */
    unsigned char bytes[255];
} data_blocks;

/* The next byte of the data, or -1 at the empty block that ends it. */
static int next_data_byte(data_blocks *blocks) {
    if (blocks->at == blocks->length) {
        blocks->length = quarn_next_byte(blocks->reader);
        if (quarn_met_end(blocks->reader)) blocks->past_end = 1;
        if (blocks->length == 0) return -1;
        blocks->in_file =
            (int)quarn_next_bytes(blocks->reader, blocks->bytes, (size_t)blocks->length);
        blocks->at = 0;
    }
    if (blocks->at >= blocks->in_file) blocks->past_end = 1;
    return blocks->bytes[blocks->at++];
}

/* Counts what stb's decode of the LZW data at the current position costs,
 * with `chain` for stb's table. */
static void walk_codes(quarn_reader *reader, quarn_gif_frame *frame, unsigned short *chain) {
    data_blocks blocks = {reader, 0, 0, 0, 0, {0}};
    const int min_size = quarn_next_byte(reader);
    const long long pixels = (long long)frame->width * frame->height;
    int clear, size, mask, available, previous, first = 1, code;
    long bits = 0, valid_bits = 0;
    if (quarn_met_end(reader)) { /* in the descriptor, palette or code size */
        frame->truncated = 1;
        return;
    }
    if (min_size > 12) return;
    clear = 1 << min_size;
    size = min_size + 1;
    mask = (1 << size) - 1;
    available = clear + 2;
    previous = -1;
    for (code = 0; code < clear; ++code) chain[code] = 1;
    for (;;) {
        while (valid_bits < size) {
            const int byte = next_data_byte(&blocks);
            if (blocks.past_end && frame->expansion < pixels) {
                frame->truncated = 1;
                return;
            }
            if (byte < 0) return;
            bits |= (long)byte << valid_bits;
            valid_bits += 8;
        }
        code = (int)(bits & mask);
        bits >>= size;
        valid_bits -= size;
        if (code == clear) {
            size = min_size + 1;
            mask = (1 << size) - 1;
            available = clear + 2;
            previous = -1;
            first = 0;
        } else if (code == clear + 1 || code > available || first) {
            return; /* the end, or an error of stb's */
        } else {
            if (previous >= 0) {
                if (available == MAX_CODES) return;
                chain[available++] = (unsigned short)(chain[previous] + 1);
            } else if (code == available) {
                return;
            }
            frame->expansion += chain[code];
            if (chain[code] > frame->chain_depth) frame->chain_depth = chain[code];
            if ((available & mask) == 0 && available <= 0x0FFF) {
                ++size;
                mask = (1 << size) - 1;
            }
            previous = code;
        }
    }
}

/* The image descriptor at the current position, on a screen of `width` x
 * `height` whose flags are `screen_flags`, and its LZW data; -1 when memory
 * runs out. */
static int read_frame(quarn_reader *reader, quarn_gif_frame *frame, int width, int height,
                      int screen_flags) {
    const int x = quarn_next_le16(reader), y = quarn_next_le16(reader);
    const int w = quarn_next_le16(reader), h = quarn_next_le16(reader);
    int flags;
    unsigned short *chain;
    if (x + w > width || y + h > height) return 0;
    flags = quarn_next_byte(reader);
    if (flags & 0x80) quarn_skip(reader, 3L * (2 << (flags & 7)));
    else if (!(screen_flags & 0x80)) return 0; /* no colour table */
    chain = malloc(MAX_CODES * sizeof *chain);
    if (!chain) return -1;
    frame->reached = 1;
    frame->width = w;
    frame->height = h;
    walk_codes(reader, frame, chain);
    free(chain);
    return 0;
}

int quarn_gif_first_frame(FILE *file, quarn_gif_frame *frame) {
    quarn_reader reader = quarn_reader_at(file, 0);
    unsigned char signature[6];
    int width, height, flags, tag;
    memset(frame, 0, sizeof *frame);
    if (quarn_next_bytes(&reader, signature, sizeof signature) != sizeof signature ||
        (memcmp(signature, "GIF87a", 6) && memcmp(signature, "GIF89a", 6)))
        return 0;
    width = quarn_next_le16(&reader);
    height = quarn_next_le16(&reader);
    flags = quarn_next_byte(&reader);
    quarn_skip(&reader, 2); /* background index, aspect ratio */
    if (flags & 0x80) quarn_skip(&reader, 3L * (2 << (flags & 7)));
    /* Extensions up to the first image; the trailer or another tag ends stb's decode. */
    while ((tag = quarn_next_byte(&reader)) == 0x21) {
        if (quarn_next_byte(&reader) == 0xF9) {
            const int length = quarn_next_byte(&reader);
            if (length != 4) {
                /* stb skips such a control block without its sub-blocks */
                quarn_skip(&reader, length);
                continue;
            }
            quarn_skip(&reader, 4);
        }
        skip_sub_blocks(&reader);
    }
    return tag == 0x2C && read_frame(&reader, frame, width, height, flags) < 0 ? -1 : 1;
}
