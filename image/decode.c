/* The decode of one file: the format sniffed, the walks of its structure,
 * the size rules and budget, stb's load, and the pixels handed over. */
#include "image/decode.h"

#include <setjmp.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "image/decode_abort.h"
#include "image/decoder_limits.h"
#include "image/gif_structure.h"
#include "image/heap_guard.h"
#include "image/jpeg_structure.h"
#include "image/palette_padding.h"
#include "image/stack_room.h"
#include "image/stb_input.h"
#include "image/stb_loaders.h"

/* Where stb's hooks jump to end the decode in progress on this thread.
 * Static storage keeps it valid across the longjmp. */
static _Thread_local jmp_buf abort_to;
static _Thread_local const char *abort_reason;

void quarn_abort_decode(const char *reason) {
    abort_reason = reason;
    longjmp(abort_to, 1);
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

static size_t budget_for(long long pixels, long long file_size) {
    const double budget = QUARN_BUDGET_BYTES_PER_PIXEL * (double)pixels +
                          QUARN_BUDGET_FILE_COPIES * (double)file_size + QUARN_BUDGET_BASE_BYTES;
    return budget >= (double)SIZE_MAX ? SIZE_MAX : (size_t)budget;
}

static long long size_of(FILE *file) {
    return fseek(file, 0, SEEK_END) == 0 ? (long long)ftell(file) : -1;
}

/* The most pixels a byte of a file of `format` can hold. */
static long long pixels_per_byte(quarn_format format) {
    return format == QUARN_GIF    ? QUARN_MAX_GIF_PIXELS_PER_BYTE
           : format == QUARN_JPEG ? QUARN_MAX_JPEG_PIXELS_PER_BYTE
                                  : QUARN_MAX_PIXELS_PER_BYTE;
}

/* Refuses a declared size, before any pixel is decoded, by filling `error`;
 * `what` names it. A file of QUARN_MAX_PIXELS bytes can hold any size allowed,
 * so larger files skip the density check, whose product then cannot overflow;
 * so does a `per_byte` of 0. */
static int refuse_size(quarn_decode_error *error, const char *what, long long width,
                       long long height, long long file_size, long long per_byte) {
    const long long pixels = width * height;
    char why[100];
    if (width < 0 || height < 0)
        snprintf(why, sizeof why, "has a negative size");
    else if (pixels > QUARN_MAX_PIXELS)
        snprintf(why, sizeof why, "is larger than the limit of %lld pixels", QUARN_MAX_PIXELS);
    else if (per_byte && file_size < QUARN_MAX_PIXELS && pixels > file_size * per_byte)
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
static int fail_load(quarn_decode_error *error, quarn_format format) {
    const char *reason = quarn_stb_failure_reason();
    if (reason && *reason) return fail(error, reason);
    if (quarn_input_bytes_past_end()) return fail(error, "file ends too early");
    snprintf(error->reason, sizeof error->reason, "corrupt %s file", quarn_format_name(format));
    return 0;
}

/* Why the walk of the file's structure refuses it, or NULL; fills `splice`
 * and `frame`. `gif` is the GIF's first frame, or NULL. */
static const char *walk_refusal(FILE *file, quarn_format format, long long file_size,
                                const quarn_gif_frame *gif, quarn_splice *splice,
                                quarn_jpeg_frame *frame) {
    const char *refusal = format == QUARN_JPEG
                              ? quarn_jpeg_structure_fault(file, file_size, frame)
                              : quarn_pad_palette(file, splice);
    if (refusal || !gif) return refusal;
    if (gif->truncated) return "GIF file ends before its first frame is whole (truncated)";
    if (gif->expansion - (long long)gif->width * gif->height >
        QUARN_MAX_GIF_SURPLUS_PIXELS_PER_BYTE * file_size)
        return "GIF codes expand to far more pixels than the frame holds";
    return NULL;
}

/* quarn_decode on the calling thread; `gif` is the GIF's first frame, or NULL
 * for other files and GIFs on which stb fails before it. */
static int decode(FILE *file, quarn_image *image, quarn_decode_error *error,
                  const quarn_gif_frame *gif) {
    int width = 0, height = 0, size_known;
    const long long file_size = size_of(file);
    quarn_format format;
    const char *refusal, *info_reason = NULL;
    long long per_byte;
    quarn_jpeg_frame frame = {0};
    quarn_splice splice;

    memset(image, 0, sizeof *image);
    memset(error, 0, sizeof *error);
    memset(&splice, 0, sizeof splice);
    quarn_heap_start(budget_for(0, file_size));
    quarn_input_start(file, &splice);

    if (setjmp(abort_to)) {
        quarn_heap_release_all();
        memset(image, 0, sizeof *image);
        return fail(error, abort_reason);
    }

    if (quarn_stb_starts_with_long_fill())
        return fail(error, "unknown image type (starts with a long run of 0xFF)");
    format = quarn_stb_format();
    per_byte = pixels_per_byte(format);
    /* Before stbi_info, which already reads the Huffman tables. */
    refusal = walk_refusal(file, format, file_size, gif, &splice, &frame);
    if (refusal) return fail(error, refusal);

    size_known = quarn_stb_info(&width, &height);
    if (size_known) {
        /* A BMP's negative height means its rows are stored top row first. */
        const long long rows = format == QUARN_BMP ? llabs(height) : height;
        /* The screen around a GIF's frame needs no data: only the frame must fit the file. */
        if (refuse_size(error, "image", width, rows, file_size, gif ? 0 : per_byte) ||
            (gif && refuse_size(error, "GIF frame", gif->width, gif->height, file_size, per_byte)))
            return 0;
        /* stb keeps each JPEG plane padded to whole MCUs, which in a thin
         * image is many times its pixels. */
        quarn_heap_set_budget(budget_for(
            width * rows > frame.padded_samples ? width * rows : frame.padded_samples, file_size));
    } else {
        /* stbi_info's reason is a generic one; the loader, under the budget of
         * a file with no pixels, gives the specific one, or decodes an image
         * small enough for that budget, which then passes the size check. */
        info_reason = quarn_stb_failure_reason();
        width = height = 0;
    }

    image->pixels = quarn_stb_load(format, width, height, &image->width, &image->height);
    if (image->pixels && !size_known &&
        refuse_size(error, "image", image->width, image->height, file_size, per_byte)) {
        quarn_heap_release_all();
        memset(image, 0, sizeof *image);
        return 0;
    }
    if (image->pixels) {
        /* The caller owns the pixels now; nothing else may outlive the decode. */
        quarn_heap_hand_over(image->pixels);
        quarn_heap_release_all();
        return 1;
    }
    quarn_heap_release_all();
    memset(image, 0, sizeof *image);
    if (quarn_heap_out_of_memory()) {
        error->out_of_memory = 1;
        return fail(error, "out of memory");
    }
    if (quarn_heap_over_budget() && !size_known) return fail(error, info_reason);
    if (quarn_heap_over_budget())
        return fail(error, "decoder needs more memory than the image's size justifies");
    return fail_load(error, format);
}

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
    const size_t stack = is_gif > 0 ? QUARN_GIF_STACK_BYTES +
                                          QUARN_GIF_STACK_BYTES_PER_LINK * (size_t)gif.chain_depth
                                    : 0;
    if (is_gif < 0) return fail_for_memory(image, error, "out of memory");
    /* Where this thread lacks the room, the decode runs on one that has it. */
    if (!stack || stack <= quarn_stack_left()) return decode(file, image, error, call.gif);
    if (quarn_run_with_stack(stack + QUARN_GIF_STACK_BYTES, run_decode, &call) != 0)
        return fail_for_memory(image, error, "out of memory (for a thread with room for the GIF)");
    return call.decoded;
}

void quarn_image_free(quarn_image *image) {
    quarn_heap_free(image->pixels);
    image->pixels = NULL;
}
