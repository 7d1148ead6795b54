/* The one translation unit that compiles stb_image: all decoders, default
 * settings. Its allocations, assertions and reads go through hooks that let a
 * hostile file fail cleanly instead of crashing, hanging or hoarding memory. */
#include <setjmp.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "image/decode.h"
#include "image/jpeg_tables.h"

static void *tracked_malloc(size_t size);
static void *tracked_realloc(void *block, size_t size);
static void tracked_free(void *block);
static void assertion_failed(const char *condition);

#define STBI_MALLOC(size) tracked_malloc(size)
#define STBI_REALLOC(block, size) tracked_realloc(block, size)
#define STBI_FREE(block) tracked_free(block)
#define STBI_ASSERT(condition) ((condition) ? (void)0 : assertion_failed(#condition))
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>

/* Every live decoder allocation starts with this header, linked into the
 * decode in progress, so an abandoned decode can free them all. The pixels
 * handed to the caller are unlinked and outlive it. */
typedef union block_header {
    struct {
        union block_header *prev, *next;
        size_t size;
        int linked;
    } link;
    max_align_t align;
} block_header;

typedef struct decode_state {
    jmp_buf abort_to;
    const char *abort_reason;
    block_header *blocks;
    size_t used, budget;
    int over_budget, system_out_of_memory;
    FILE *file;
    char *refill_buffer; /* stb's own read-ahead buffer, learnt on the first read */
    size_t bytes_past_end;
} decode_state;

/* stb's hooks take no user pointer: the decode in progress on this thread.
 * Static storage keeps it valid across longjmp. */
static _Thread_local decode_state state;

static void link_block(block_header *header, size_t size) {
    header->link.size = size;
    header->link.linked = 1;
    header->link.prev = NULL;
    header->link.next = state.blocks;
    if (state.blocks) state.blocks->link.prev = header;
    state.blocks = header;
    state.used += size;
}

static void unlink_block(block_header *header) {
    if (!header->link.linked) return;
    if (header->link.prev) header->link.prev->link.next = header->link.next;
    else state.blocks = header->link.next;
    if (header->link.next) header->link.next->link.prev = header->link.prev;
    state.used -= header->link.size;
    header->link.linked = 0;
}

static int within_budget(size_t more) {
    if (more <= state.budget && state.used <= state.budget - more) return 1;
    state.over_budget = 1;
    return 0;
}

static void *tracked_malloc(size_t size) {
    block_header *header;
    if (!within_budget(size) || size > SIZE_MAX - sizeof *header) return NULL;
    header = malloc(sizeof *header + size);
    if (!header) {
        state.system_out_of_memory = 1;
        return NULL;
    }
    link_block(header, size);
    return header + 1;
}

static void *tracked_realloc(void *block, size_t size) {
    block_header *header, *moved;
    size_t old_size;
    if (!block) return tracked_malloc(size);
    header = (block_header *)block - 1;
    old_size = header->link.size;
    if (size > old_size && !within_budget(size - old_size)) return NULL;
    if (size > SIZE_MAX - sizeof *header) return NULL;
    unlink_block(header);
    moved = realloc(header, sizeof *header + size);
    if (!moved) {
        link_block(header, old_size);
        state.system_out_of_memory = 1;
        return NULL;
    }
    link_block(moved, size);
    return moved + 1;
}

static void tracked_free(void *block) {
    block_header *header;
    if (!block) return;
    header = (block_header *)block - 1;
    unlink_block(header);
    free(header);
}

static void free_all_blocks(void) {
    while (state.blocks) tracked_free(state.blocks + 1);
}

static void abort_decode(const char *reason) {
    state.abort_reason = reason;
    longjmp(state.abort_to, 1);
}

static void assertion_failed(const char *condition) {
    (void)condition;
    abort_decode("corrupt data (failed decoder check)");
}

/* Two kinds of read reach here. Refills of stb's small read-ahead buffer
 * (always the buffer of the first read): once one returns 0 bytes stb stops
 * calling back and reads zeros forever, so a decode looping at the end of the
 * file could never be stopped. A refill past the end therefore returns one
 * zero byte and counts it, and a decode still asking after
 * QUARN_MAX_BYTES_PAST_END ends. Bulk reads of pixel or chunk data straight
 * into the decoder's buffers: some decoders ignore a short count and would
 * return uninitialised memory, so a short bulk read ends the decode. */
static int read_file(void *user, char *data, int size) {
    size_t got;
    (void)user;
    if (!state.refill_buffer) state.refill_buffer = data;
    got = fread(data, 1, (size_t)size, state.file);
    if (data != state.refill_buffer) {
        if (got < (size_t)size) abort_decode("file ends too early");
        return (int)got;
    }
    if (got > 0) return (int)got;
    if (++state.bytes_past_end > QUARN_MAX_BYTES_PAST_END) abort_decode("file ends too early");
    data[0] = 0;
    return 1;
}

static void skip_file(void *user, int n) {
    (void)user;
    fseek(state.file, n, SEEK_CUR);
}

static int file_ended(void *user) {
    (void)user;
    return feof(state.file) || ferror(state.file);
}

static const stbi_io_callbacks callbacks = {read_file, skip_file, file_ended};

static void restart(void) {
    rewind(state.file);
    state.refill_buffer = NULL;
    state.bytes_past_end = 0;
}

/* Some of stb's reasons hold bytes of the file (an unknown PNG chunk's type):
 * those outside printable ASCII are escaped, so the reason stays text. */
static int fail(quarn_decode_error *error, const char *reason) {
    size_t n = 0;
    if (!reason) reason = "unknown failure";
    for (; *reason && n + 5 < sizeof error->reason; ++reason) {
        const unsigned char c = (unsigned char)*reason;
        if (c >= 0x20 && c < 0x7F) error->reason[n++] = (char)c;
        else n += (size_t)snprintf(error->reason + n, 5, "\\x%02x", c);
    }
    error->reason[n] = 0;
    return 0;
}

static size_t saturating_budget(long long pixels, long long file_size) {
    /* Room for the worst format (16-bit or float buffers beside the 8-bit
     * result), the compressed data twice over, and small tables. */
    const double budget = 32.0 * (double)pixels + 2.0 * (double)file_size + (16 << 20);
    return budget >= (double)SIZE_MAX ? SIZE_MAX : (size_t)budget;
}

/* stb 2.27 returns 16-bit PNM samples in file (big-endian) byte order and,
 * asked for 4 channels, converts them as if they were 8-bit, reading past its
 * buffer. Such files are loaded in their own channel count instead and
 * expanded here, keeping each sample's high byte (its first byte). */
static unsigned char *load_pnm16(int *width, int *height) {
    int channels, x, y;
    unsigned char *samples = (unsigned char *)stbi_load_16_from_callbacks(
        &callbacks, NULL, &x, &y, &channels, 0);
    unsigned char *rgba;
    size_t i, count;
    if (!samples) return NULL;
    count = (size_t)x * (size_t)y;
    rgba = stbi__malloc_mad3(x, y, 4, 0);
    if (!rgba) {
        stbi_image_free(samples);
        return stbi__errpuc("outofmem", "Out of memory");
    }
    for (i = 0; i < count; ++i) {
        const unsigned char *sample = samples + 2 * channels * i;
        rgba[4 * i + 0] = sample[0];
        rgba[4 * i + 1] = sample[channels == 3 ? 2 : 0];
        rgba[4 * i + 2] = sample[channels == 3 ? 4 : 0];
        rgba[4 * i + 3] = 255;
    }
    stbi_image_free(samples);
    *width = x;
    *height = y;
    return rgba;
}

/* Whether stb's own format test, `test`, accepts the file. */
static int file_is(int (*test)(stbi__context *)) {
    stbi__context context;
    restart();
    stbi__start_callbacks(&context, (stbi_io_callbacks *)&callbacks, NULL);
    return test(&context);
}

static int is_16_bit_pnm(void) {
    if (!file_is(stbi__pnm_test)) return 0;
    restart();
    return stbi_is_16_bit_from_callbacks(&callbacks, NULL);
}

static long long size_of(FILE *file) {
    long long size = fseek(file, 0, SEEK_END) == 0 ? (long long)ftell(file) : -1;
    rewind(file);
    return size;
}

/* Refuses a declared size, before any pixel is decoded, by filling `error`.
 * A file of QUARN_MAX_PIXELS bytes can hold any size allowed, so larger files
 * skip the density check, whose product then cannot overflow. */
static int refuse_size(quarn_decode_error *error, int width, int height, long long file_size,
                       long long pixels_per_byte) {
    const long long pixels = (long long)width * height;
    char why[100];
    if (width < 0 || height < 0)
        snprintf(why, sizeof why, "has a negative size");
    else if (pixels > QUARN_MAX_PIXELS)
        snprintf(why, sizeof why, "is larger than the limit of %lld pixels", QUARN_MAX_PIXELS);
    else if (file_size < QUARN_MAX_PIXELS && pixels > file_size * pixels_per_byte)
        snprintf(why, sizeof why, "cannot fit in a file of %lld bytes (truncated or corrupt)",
                 file_size);
    else
        return 0;
    snprintf(error->reason, sizeof error->reason, "image of %d x %d pixels %s", width, height, why);
    return 1;
}

int quarn_decode(FILE *file, quarn_image *image, quarn_decode_error *error) {
    int width = 0, height = 0, channels, pnm16;
    long long pixels_per_byte;
    const long long file_size = size_of(file);

    memset(image, 0, sizeof *image);
    memset(error, 0, sizeof *error);
    memset(&state, 0, sizeof state);
    state.file = file;
    state.budget = saturating_budget(0, file_size);

    if (setjmp(state.abort_to)) {
        free_all_blocks();
        memset(image, 0, sizeof *image);
        return fail(error, state.abort_reason);
    }

    if (file_is(stbi__jpeg_test)) {
        /* Before stbi_info, which already reads the Huffman tables. */
        restart();
        if (!quarn_jpeg_tables_fit(file)) return fail(error, "corrupt JPEG Huffman table");
        pixels_per_byte = QUARN_MAX_JPEG_PIXELS_PER_BYTE;
    } else {
        pixels_per_byte = file_is(stbi__gif_test) ? QUARN_MAX_GIF_PIXELS_PER_BYTE
                                                  : QUARN_MAX_PIXELS_PER_BYTE;
    }

    restart();
    if (!stbi_info_from_callbacks(&callbacks, NULL, &width, &height, &channels)) {
        return fail(error, stbi_failure_reason());
    }
    if (refuse_size(error, width, height, file_size, pixels_per_byte)) return 0;
    state.budget = saturating_budget((long long)width * height, file_size);

    pnm16 = is_16_bit_pnm();
    restart();
    image->pixels = pnm16 ? load_pnm16(&image->width, &image->height)
                          : stbi_load_from_callbacks(&callbacks, NULL, &image->width,
                                                     &image->height, &channels, 4);
    if (image->pixels) {
        /* The caller owns the pixels now; nothing else may outlive the decode. */
        unlink_block((block_header *)image->pixels - 1);
        free_all_blocks();
        return 1;
    }
    free_all_blocks();
    memset(image, 0, sizeof *image);
    if (state.system_out_of_memory) {
        error->out_of_memory = 1;
        return fail(error, "out of memory");
    }
    if (state.over_budget) return fail(error, "decoder needs more memory than the image's size justifies");
    return fail(error, stbi_failure_reason());
}

void quarn_image_free(quarn_image *image) {
    tracked_free(image->pixels);
    image->pixels = NULL;
}
