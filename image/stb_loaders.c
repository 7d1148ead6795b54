/* The one translation unit that compiles stb_image: all decoders, default
 * settings. Its allocations, assertions and reads go through hooks that let a
 * hostile file fail cleanly instead of crashing, hanging or hoarding memory. */
#include "image/stb_loaders.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "image/decode_abort.h"
#include "image/heap_guard.h"
#include "image/stb_input.h"

#define STBI_MALLOC(size) quarn_heap_malloc(size)
#define STBI_REALLOC(block, size) quarn_heap_realloc(block, size)
#define STBI_FREE(block) quarn_heap_free(block)
#define STBI_ASSERT(condition) \
    ((condition) ? (void)0 : quarn_abort_decode("corrupt data (failed decoder check)"))
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>

/* Decodes run on many threads at once: stb's failure reason must be each
 * thread's own, or one decode could report another's. */
#ifndef STBI_THREAD_LOCAL
#error "stb_image's failure reason is not thread-local (STBI_THREAD_LOCAL undefined)"
#endif

static const char *const names[] = {
    [QUARN_PNG] = "PNG", [QUARN_BMP] = "BMP", [QUARN_GIF] = "GIF",
    [QUARN_PSD] = "PSD", [QUARN_PIC] = "PIC", [QUARN_JPEG] = "JPEG",
    [QUARN_PNM] = "PNM", [QUARN_HDR] = "HDR", [QUARN_TGA] = "TGA",
};
static int (*const tests[])(stbi__context *) = {
    [QUARN_PNG] = stbi__png_test, [QUARN_BMP] = stbi__bmp_test, [QUARN_GIF] = stbi__gif_test,
    [QUARN_PSD] = stbi__psd_test, [QUARN_PIC] = stbi__pic_test, [QUARN_JPEG] = stbi__jpeg_test,
    [QUARN_PNM] = stbi__pnm_test, [QUARN_HDR] = stbi__hdr_test, [QUARN_TGA] = stbi__tga_test,
};

const char *quarn_format_name(quarn_format format) {
    return format == QUARN_NO_FORMAT ? "image" : names[format];
}

/* Whether stb's own format test, `test`, accepts the input. */
static int input_is(int (*test)(stbi__context *)) {
    stbi__context context;
    quarn_input_restart();
    stbi__start_callbacks(&context, (stbi_io_callbacks *)&quarn_input_callbacks, NULL);
    return test(&context);
}

quarn_format quarn_stb_format(void) {
    int i;
    for (i = 0; i < (int)(sizeof tests / sizeof tests[0]); ++i)
        if (input_is(tests[i])) return (quarn_format)i;
    return QUARN_NO_FORMAT;
}

int quarn_stb_starts_with_long_fill(void) {
    stbi__context context;
    unsigned char head[sizeof context.buffer_start];
    size_t i;
    quarn_input_restart();
    if (quarn_input_read((char *)head, sizeof head) < sizeof head) return 0;
    for (i = 0; i < sizeof head && head[i] == 0xFF; ++i) continue;
    return i == sizeof head;
}

int quarn_stb_info(int *width, int *height) {
    int channels;
    quarn_input_restart();
    stbi__g_failure_reason = NULL;
    return stbi_info_from_callbacks(&quarn_input_callbacks, NULL, width, height, &channels);
}

const char *quarn_stb_failure_reason(void) {
    return stbi_failure_reason();
}

/* stb returns 16-bit PNM samples in file (big-endian) byte order, and 2.27,
 * asked for 4 channels, converts them as if they were 8-bit, reading past its
 * buffer. Such files are loaded in their own channel count instead and
 * expanded here, keeping each sample's high byte (its first byte). */
static unsigned char *load_pnm16(int *width, int *height) {
    int channels, x, y;
    unsigned char *samples = (unsigned char *)stbi_load_16_from_callbacks(
        &quarn_input_callbacks, NULL, &x, &y, &channels, 0);
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

static int is_16_bit_pnm(void) {
    if (!input_is(stbi__pnm_test)) return 0;
    quarn_input_restart();
    return stbi_is_16_bit_from_callbacks(&quarn_input_callbacks, NULL);
}

/* stb writes every byte of a JPEG's output block, 4 bytes a pixel and one
 * more, never read, before anything reads it: that block alone is spared the
 * zeroing, which cost 3 % of readimg on a 1080p JPEG (heap-filled test runs
 * catch any pixel it would leave unwritten). No block stb allocates before it
 * has its size, but for its state, which a size check here rules out: planes
 * of w2 x h2 (both multiples of 8) bytes plus 15, and coefficients of 2 x w2
 * x h2 plus 15, leave other remainders by 4, and a line buffer of width + 3
 * bytes is shorter.
 *
 * stb records why it ends a JPEG decode at a segment it cannot read after the
 * frame, also where it returns the image decoded so far (see
 * jpeg_structure.c). A JPEG is therefore loaded with stb's JPEG loader alone
 * (the loader of all formats leaves the reasons of the formats it tried
 * first) and refused when the load leaves a reason behind. */
static unsigned char *load_jpeg(int width, int height, int *loaded_width, int *loaded_height) {
    const size_t output_size = 4 * (size_t)width * (size_t)height + 1;
    stbi__context context;
    stbi__result_info info;
    int channels;
    unsigned char *pixels;
    if (width > 0 && height > 0 && output_size != sizeof(stbi__jpeg))
        quarn_heap_written_whole(output_size);
    stbi__start_callbacks(&context, (stbi_io_callbacks *)&quarn_input_callbacks, NULL);
    memset(&info, 0, sizeof info);
    info.bits_per_channel = 8;
    pixels = stbi__jpeg_load(&context, loaded_width, loaded_height, &channels, 4, &info);
    quarn_heap_written_whole(0);
    if (pixels && stbi__g_failure_reason) {
        stbi_image_free(pixels);
        return NULL;
    }
    return pixels;
}

unsigned char *quarn_stb_load(quarn_format format, int width, int height, int *loaded_width,
                              int *loaded_height) {
    int channels;
    const int pnm16 = format == QUARN_PNM && is_16_bit_pnm();
    quarn_input_restart();
    stbi__g_failure_reason = NULL;
    if (pnm16) return load_pnm16(loaded_width, loaded_height);
    if (format == QUARN_JPEG) return load_jpeg(width, height, loaded_width, loaded_height);
    return stbi_load_from_callbacks(&quarn_input_callbacks, NULL, loaded_width, loaded_height,
                                    &channels, 4);
}
