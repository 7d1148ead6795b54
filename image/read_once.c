#define _GNU_SOURCE /* fopencookie */
#include "image/read_once.h"

#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "image/decoder_limits.h"

typedef struct read_once {
    int fd;
    unsigned char *bytes; /* the file's first `cached` bytes, as first read */
    size_t cached, size;  /* size: the most the stream holds */
    size_t reserved;      /* the mapping's length */
    off64_t at;           /* the stream's position */
} read_once;

/* Reads the file up to `end` (at most `size`), or to where it ends sooner,
 * which then becomes the stream's end. */
static int cache_up_to(read_once *stream, size_t end) {
    if (end - stream->cached < QUARN_READ_AHEAD_BYTES)
        end = stream->cached + QUARN_READ_AHEAD_BYTES;
    if (end > stream->size) end = stream->size;
    while (stream->cached < end) {
        const ssize_t got = pread(stream->fd, stream->bytes + stream->cached,
                                  end - stream->cached, (off_t)stream->cached);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) {
            stream->size = stream->cached;
            break;
        }
        stream->cached += (size_t)got;
    }
    return 0;
}

static ssize_t read_bytes(void *cookie, char *into, size_t wanted) {
    read_once *stream = cookie;
    size_t from, n;
    if (stream->at >= (off64_t)stream->size) return 0;
    from = (size_t)stream->at;
    if (wanted > stream->size - from) wanted = stream->size - from;
    if (from + wanted > stream->cached && cache_up_to(stream, from + wanted) != 0) return -1;
    if (from >= stream->cached) return 0;
    n = stream->cached - from < wanted ? stream->cached - from : wanted;
    memcpy(into, stream->bytes + from, n);
    stream->at += (off64_t)n;
    return (ssize_t)n;
}

static int seek(void *cookie, off64_t *offset, int whence) {
    read_once *stream = cookie;
    const off64_t base = whence == SEEK_SET ? 0
                         : whence == SEEK_CUR ? stream->at
                                              : (off64_t)stream->size;
    if (*offset < -base || *offset > INT64_MAX - base) {
        errno = EINVAL;
        return -1;
    }
    stream->at = base + *offset;
    *offset = stream->at;
    return 0;
}

/* A thread's last stream memory, kept for its next stream: writing over
 * pages the kernel has not reclaimed yet (MADV_FREE) costs no page faults,
 * which cost 1 % of readimg on a photo PNG. Unmapped when the thread ends;
 * never more than QUARN_MAX_SPARE_BYTES. */
static _Thread_local struct {
    unsigned char *bytes;
    size_t length;
} spare;
static pthread_key_t spare_owner;
static pthread_once_t spare_owner_made = PTHREAD_ONCE_INIT;
static int spare_owner_ok;

static void drop_spare(void *unused) {
    (void)unused;
    if (spare.bytes) munmap(spare.bytes, spare.length);
    spare.bytes = NULL;
}

static void make_spare_owner(void) {
    spare_owner_ok = pthread_key_create(&spare_owner, drop_spare) == 0;
}

/* Room for `*length` bytes, only those the decoder reaches backed by memory:
 * reserved without commitment, so a huge sparse file holding a small image
 * needs no more than the image's bytes. Sets `*length` to the room's. */
static unsigned char *reserve(size_t *length) {
    void *room;
    if (spare.bytes && spare.length >= *length) {
        room = spare.bytes;
        *length = spare.length;
        spare.bytes = NULL;
        return room;
    }
    room = mmap(NULL, *length, PROT_READ | PROT_WRITE,
                MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return room == MAP_FAILED ? NULL : room;
}

static void release(read_once *stream) {
    const size_t page = 4096, touched = (stream->cached + page - 1) & ~(page - 1);
    if (stream->bytes && !spare.bytes && stream->reserved <= QUARN_MAX_SPARE_BYTES &&
        pthread_once(&spare_owner_made, make_spare_owner) == 0 &&
        spare_owner_ok && pthread_setspecific(spare_owner, &spare) == 0 &&
        madvise(stream->bytes, touched, MADV_FREE) == 0) {
        spare.bytes = stream->bytes;
        spare.length = stream->reserved;
    } else if (stream->bytes) {
        munmap(stream->bytes, stream->reserved);
    }
    free(stream);
}

static int close_stream(void *cookie) {
    read_once *stream = cookie;
    const int closed = close(stream->fd);
    release(stream);
    return closed;
}

FILE *quarn_open_read_once(int fd, off_t size) {
    static const cookie_io_functions_t functions = {read_bytes, NULL, seek, close_stream};
    read_once *stream = calloc(1, sizeof *stream);
    FILE *file = NULL;
    if (stream && size >= 0 && (unsigned long long)size < SIZE_MAX) {
        stream->fd = fd;
        stream->size = (size_t)size;
        stream->reserved = stream->size ? stream->size : 1;
        stream->bytes = reserve(&stream->reserved);
        if (stream->bytes) file = fopencookie(stream, "rb", functions);
    }
    if (!file) {
        if (stream) release(stream);
        errno = ENOMEM;
    }
    return file;
}
