/* libFuzzer entry over quarn_decode: each input becomes a file and is decoded
 * as readimg decodes it, through a read-once stream over a memfd. */
#define _GNU_SOURCE
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include "image/decode.h"
#include "image/read_once.h"

/* Under MemorySanitizer every pixel handed out must have been written. The
 * stream's FILE is set up by the C library, unseen by MemorySanitizer (which
 * knows fopen's, not fopencookie's), and read by inline getc_unlocked. */
#if defined(__has_feature)
#if __has_feature(memory_sanitizer)
#include <sanitizer/msan_interface.h>
#define CHECK_WRITTEN(bytes, size) __msan_check_mem_is_initialized(bytes, size)
#define SET_UP_BY_LIBC(file) __msan_unpoison(file, sizeof *(file))
#endif
#endif
#ifndef CHECK_WRITTEN
#define CHECK_WRITTEN(bytes, size) ((void)0)
#define SET_UP_BY_LIBC(file) ((void)0)
#endif

static FILE *file_holding(const uint8_t *data, size_t size) {
    int fd = memfd_create("fuzz-input", MFD_CLOEXEC);
    FILE *file;
    if (fd < 0 || (size && write(fd, data, size) != (ssize_t)size) || lseek(fd, 0, SEEK_SET)) abort();
    file = quarn_open_read_once(fd, (off_t)size);
    if (!file) abort();
    SET_UP_BY_LIBC(file);
    return file;
}

int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *file = file_holding(data, size);
    quarn_image image;
    quarn_decode_error error;
    if (quarn_decode(file, &image, &error)) {
        /* Read every pixel: a buffer shorter than promised is an overflow. */
        size_t i, count = (size_t)image.width * image.height * 4;
        volatile unsigned sum = 0;
        for (i = 0; i < count; ++i) sum += image.pixels[i];
        CHECK_WRITTEN(image.pixels, count);
        quarn_image_free(&image);
    }
    fclose(file);
    return 0;
}
