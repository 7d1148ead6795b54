/* The one translation unit that compiles stb_image: all decoders, default
 * settings. Its allocations, assertions and reads go through hooks that let a
 * hostile file fail cleanly instead of crashing, hanging or hoarding memory. */
#include <setjmp.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "image/decode.h"
#include "image/gif_structure.h"
#include "image/jpeg_structure.h"
#include "image/palette_padding.h"
#include "image/stack_room.h"

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
    quarn_splice splice; /* the palette padding stb reads in place of the file's bytes */
    long position;       /* in the file as stb reads it, splice included */
    char *refill_buffer; /* stb's own read-ahead buffer, learnt on the first read */
    size_t bytes_past_end;
    size_t written_in_full; /* the size of a block stb writes whole before any read, or 0 */
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

/* Every block starts zeroed, and so does the grown part of a reallocated one:
 * stb reads some memory it never wrote (planes of components no scan names,
 * back-references to unwritten output), and must find zeros there rather
 * than what the process held before. The one exception, a block stb writes
 * whole before anything reads it, saves clearing the largest block of a
 * JPEG decode (see jpeg_output_size). */
static void *tracked_malloc(size_t size) {
    block_header *header;
    if (!within_budget(size) || size > SIZE_MAX - sizeof *header) return NULL;
    header = size == state.written_in_full ? malloc(sizeof *header + size)
                                           : calloc(1, sizeof *header + size);
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
    if (size > old_size) memset((char *)(moved + 1) + old_size, 0, size - old_size);
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

/* Puts the file where the byte at `state.position` of the spliced file comes
 * from, or just past the splice's stand-in while reading within it. */
static void seek_to_position(void) {
    const quarn_splice *splice = &state.splice;
    const long splice_end = splice->at + (long)splice->length;
    long offset = state.position;
    if (offset >= splice_end) offset += splice->removed - (long)splice->length;
    else if (offset >= splice->at) offset = splice->at + splice->removed;
    fseek(state.file, offset, SEEK_SET);
}

/* Reads the file with the splice in place; returns the bytes read. */
static size_t read_spliced(char *data, size_t size) {
    const quarn_splice *splice = &state.splice;
    const long splice_end = splice->at + (long)splice->length;
    size_t got = 0;
    while (got < size) {
        size_t n = size - got;
        if (state.position >= splice->at && state.position < splice_end) {
            if (n > (size_t)(splice_end - state.position)) n = (size_t)(splice_end - state.position);
            memcpy(data + got, splice->bytes + (state.position - splice->at), n);
        } else {
            if (state.position < splice->at && n > (size_t)(splice->at - state.position))
                n = (size_t)(splice->at - state.position);
            n = fread(data + got, 1, n, state.file);
            if (n == 0) break;
        }
        got += n;
        state.position += (long)n;
        if (state.position == splice->at && splice->removed) seek_to_position();
    }
    return got;
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
    got = read_spliced(data, (size_t)size);
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
    state.position += n;
    seek_to_position();
}

static int file_ended(void *user) {
    (void)user;
    return feof(state.file) || ferror(state.file);
}

static const stbi_io_callbacks callbacks = {read_file, skip_file, file_ended};

static void restart(void) {
    clearerr(state.file);
    state.position = 0;
    seek_to_position();
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

/* The size of stb's output block for a JPEG of `width` x `height` pixels:
 * 4 bytes a pixel and one more, never read. stb writes every pixel of it
 * before anything reads it, and no other block of its JPEG decode has that
 * size but its own state: its planes of w2 x h2 (both multiples of 8) bytes
 * plus 15, and coefficients of 2 x w2 x h2 plus 15, leave other remainders
 * by 4, and a line buffer of width + 3 bytes is shorter. Clearing it cost
 * 3 % of readimg on a 1080p JPEG; heap-filled test runs catch any pixel it
 * would leave unwritten. */
static size_t jpeg_output_size(long long width, long long height) {
    const size_t size = 4 * (size_t)width * (size_t)height + 1;
    return size == sizeof(stbi__jpeg) ? 0 : size;
}

/* stb returns 16-bit PNM samples in file (big-endian) byte order, and 2.27,
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

/* stb records why it ends a JPEG decode at a segment it cannot read after the
 * frame, also where it returns the image decoded so far (see
 * jpeg_structure.c). A JPEG is therefore loaded with stb's JPEG loader alone
 * (the loader of all formats leaves the reasons of the formats it tried
 * first) and refused when the load leaves a reason behind. */
static unsigned char *load_jpeg(int *width, int *height) {
    stbi__context context;
    stbi__result_info info;
    int channels;
    unsigned char *pixels;
    restart();
    stbi__start_callbacks(&context, (stbi_io_callbacks *)&callbacks, NULL);
    memset(&info, 0, sizeof info);
    info.bits_per_channel = 8;
    stbi__g_failure_reason = NULL;
    pixels = stbi__jpeg_load(&context, width, height, &channels, 4, &info);
    if (pixels && stbi__g_failure_reason) {
        stbi_image_free(pixels);
        return NULL;
    }
    return pixels;
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

/* The formats in the order stb's loader tries them, each with the most pixels
 * a byte of it can hold. */
typedef struct image_format {
    const char *name;
    int (*test)(stbi__context *);
    long long pixels_per_byte;
} image_format;

static const image_format formats[] = {
    {"PNG", stbi__png_test, QUARN_MAX_PIXELS_PER_BYTE},
    {"BMP", stbi__bmp_test, QUARN_MAX_PIXELS_PER_BYTE},
    {"GIF", stbi__gif_test, QUARN_MAX_GIF_PIXELS_PER_BYTE},
    {"PSD", stbi__psd_test, QUARN_MAX_PIXELS_PER_BYTE},
    {"PIC", stbi__pic_test, QUARN_MAX_PIXELS_PER_BYTE},
    {"JPEG", stbi__jpeg_test, QUARN_MAX_JPEG_PIXELS_PER_BYTE},
    {"PNM", stbi__pnm_test, QUARN_MAX_PIXELS_PER_BYTE},
    {"HDR", stbi__hdr_test, QUARN_MAX_PIXELS_PER_BYTE},
    {"TGA", stbi__tga_test, QUARN_MAX_PIXELS_PER_BYTE},
};

/* Whether the file starts with a run of 0xFF bytes as long as stb's read-ahead
 * buffer. stb's JPEG test skips such a run; having read past the buffer, its
 * rewind only reaches the start of the buffer it now holds, so the formats
 * tested after JPEG would see the file from there on (a 16-bit PNM that stb
 * then over-reads, for one). No image file starts so. */
static int starts_with_long_fill(void) {
    stbi__context context;
    unsigned char head[sizeof context.buffer_start];
    size_t i;
    restart();
    if (read_spliced((char *)head, sizeof head) < sizeof head) return 0;
    for (i = 0; i < sizeof head && head[i] == 0xFF; ++i) continue;
    return i == sizeof head;
}

/* The format stb's loader takes the file for, or NULL for none. */
static const image_format *format_of_file(void) {
    size_t i;
    for (i = 0; i < sizeof formats / sizeof formats[0]; ++i)
        if (file_is(formats[i].test)) return &formats[i];
    return NULL;
}

/* Refuses a declared size, before any pixel is decoded, by filling `error`;
 * `what` names it. A file of QUARN_MAX_PIXELS bytes can hold any size allowed,
 * so larger files skip the density check, whose product then cannot overflow;
 * so does a `pixels_per_byte` of 0. */
static int refuse_size(quarn_decode_error *error, const char *what, long long width,
                       long long height, long long file_size, long long pixels_per_byte) {
    const long long pixels = width * height;
    char why[100];
    if (width < 0 || height < 0)
        snprintf(why, sizeof why, "has a negative size");
    else if (pixels > QUARN_MAX_PIXELS)
        snprintf(why, sizeof why, "is larger than the limit of %lld pixels", QUARN_MAX_PIXELS);
    else if (pixels_per_byte && file_size < QUARN_MAX_PIXELS && pixels > file_size * pixels_per_byte)
        snprintf(why, sizeof why, "cannot fit in a file of %lld bytes (truncated or corrupt)",
                 file_size);
    else
        return 0;
    snprintf(error->reason, sizeof error->reason, "%s of %lld x %lld pixels %s", what, width,
             height, why);
    return 1;
}

/* Fills `error` with stb's reason for the failed load, or with ours where stb
 * gives none: its GIF decoder clears the reason and fails without one, and
 * names an unknown PNG chunk by its type, which may start with a zero byte. */
static int fail_load(quarn_decode_error *error, const image_format *format) {
    const char *reason = stbi_failure_reason();
    if (reason && *reason) return fail(error, reason);
    if (state.bytes_past_end) return fail(error, "file ends too early");
    snprintf(error->reason, sizeof error->reason, "corrupt %s file", format ? format->name : "image");
    return 0;
}

/* quarn_decode on the calling thread; `gif` is the GIF's first frame, or NULL
 * for other files and GIFs on which stb fails before it. */
static int decode(FILE *file, quarn_image *image, quarn_decode_error *error,
                  const quarn_gif_frame *gif) {
    int width = 0, height = 0, channels, size_known, pnm16, jpeg;
    const long long file_size = size_of(file);
    const image_format *format;
    const char *refusal, *info_reason = NULL;
    long long pixels_per_byte;
    quarn_jpeg_frame frame = {0};

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

    if (starts_with_long_fill())
        return fail(error, "unknown image type (starts with a long run of 0xFF)");
    format = format_of_file();
    pixels_per_byte = format ? format->pixels_per_byte : QUARN_MAX_PIXELS_PER_BYTE;
    jpeg = format && format->test == stbi__jpeg_test;
    /* Before stbi_info, which already reads the Huffman tables. */
    restart();
    refusal = jpeg ? quarn_jpeg_structure_fault(file, file_size, &frame)
                   : quarn_pad_palette(file, &state.splice);
    if (!refusal && gif && gif->truncated)
        refusal = "GIF file ends before its first frame is whole (truncated)";
    if (!refusal && gif &&
        gif->expansion - (long long)gif->width * gif->height >
            QUARN_MAX_GIF_SURPLUS_PIXELS_PER_BYTE * file_size)
        refusal = "GIF codes expand to far more pixels than the frame holds";
    if (refusal) return fail(error, refusal);

    restart();
    stbi__g_failure_reason = NULL;
    size_known = stbi_info_from_callbacks(&callbacks, NULL, &width, &height, &channels);
    if (size_known) {
        /* A BMP's negative height means its rows are stored top row first. */
        const long long rows = format && format->test == stbi__bmp_test ? llabs(height) : height;
        /* The screen around a GIF's frame needs no data: only the frame must fit the file. */
        if (refuse_size(error, "image", width, rows, file_size, gif ? 0 : pixels_per_byte) ||
            (gif && refuse_size(error, "GIF frame", gif->width, gif->height, file_size,
                                pixels_per_byte)))
            return 0;
        /* stb keeps each JPEG plane padded to whole MCUs, which in a thin
         * image is many times its pixels. */
        state.budget = saturating_budget(
            width * rows > frame.padded_samples ? width * rows : frame.padded_samples, file_size);
        if (jpeg) state.written_in_full = jpeg_output_size(width, rows);
    } else {
        /* stbi_info's reason is a generic one; the loader, under the budget of
         * a file with no pixels, gives the specific one, or decodes an image
         * small enough for that budget, which then passes the size check. */
        info_reason = stbi_failure_reason();
    }

    pnm16 = is_16_bit_pnm();
    restart();
    stbi__g_failure_reason = NULL;
    image->pixels = pnm16  ? load_pnm16(&image->width, &image->height)
                    : jpeg ? load_jpeg(&image->width, &image->height)
                           : stbi_load_from_callbacks(&callbacks, NULL, &image->width,
                                                      &image->height, &channels, 4);
    if (image->pixels && !size_known &&
        refuse_size(error, "image", image->width, image->height, file_size, pixels_per_byte)) {
        free_all_blocks();
        memset(image, 0, sizeof *image);
        return 0;
    }
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
    if (state.over_budget && !size_known) return fail(error, info_reason);
    if (state.over_budget) return fail(error, "decoder needs more memory than the image's size justifies");
    return fail_load(error, format);
}

/* stb's GIF decode holds 35 KB of state on the stack and recurses once for
 * each link of a code's prefix chain: measured from the decode's start with
 * GCC 12, 43 KB plus 32 bytes a link at -O2 or -O3, 64 unoptimised (174 or
 * 304 KB for a chain of 4091 links). These leave twice the most. */
#define GIF_STACK_BYTES (96 << 10)
#define GIF_STACK_BYTES_PER_LINK 128

typedef struct decode_call {
    FILE *file;
    quarn_image *image;
    quarn_decode_error *error;
    const quarn_gif_frame *gif;
    int decoded;
} decode_call;

static void run_decode(void *given) {
    decode_call *call = given;
    call->decoded = decode(call->file, call->image, call->error, call->gif);
}

/* Fails for want of memory before decode() ran. */
static int fail_for_memory(quarn_image *image, quarn_decode_error *error, const char *reason) {
    memset(image, 0, sizeof *image);
    memset(error, 0, sizeof *error);
    error->out_of_memory = 1;
    return fail(error, reason);
}

int quarn_decode(FILE *file, quarn_image *image, quarn_decode_error *error) {
    quarn_gif_frame gif;
    const int is_gif = quarn_gif_first_frame(file, &gif);
    decode_call call = {file, image, error, is_gif > 0 && gif.reached ? &gif : NULL, 0};
    /* stb's GIF loader takes its room before it reads a frame, or fails to. */
    const size_t stack =
        is_gif > 0 ? GIF_STACK_BYTES + GIF_STACK_BYTES_PER_LINK * (size_t)gif.chain_depth : 0;
    if (is_gif < 0) return fail_for_memory(image, error, "out of memory");
    /* Where this thread lacks the room, the decode runs on one that has it. */
    if (!stack || stack <= quarn_stack_left()) return decode(file, image, error, call.gif);
    if (quarn_run_with_stack(stack + GIF_STACK_BYTES, run_decode, &call) != 0)
        return fail_for_memory(image, error, "out of memory (for a thread with room for the GIF)");
    return call.decoded;
}

void quarn_image_free(quarn_image *image) {
    tracked_free(image->pixels);
    image->pixels = NULL;
}
