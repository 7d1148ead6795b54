#include "image/stb_input.h"

#include <string.h>

#include "image/decode_abort.h"
#include "image/decoder_limits.h"

typedef struct input {
    FILE *file;
    const quarn_splice *splice; /* the palette padding stb reads in place of the file's bytes */
    long position;              /* in the file as stb reads it, splice included */
    char *refill_buffer;        /* stb's own read-ahead buffer, learnt on the first read */
    size_t bytes_past_end;
} input;

/* The input of the decode in progress on this thread. */
static _Thread_local input feed;

/* Puts the file where the byte at `feed.position` of the spliced file comes
 * from, or just past the splice's stand-in while reading within it. */
static void seek_to_position(void) {
    const quarn_splice *splice = feed.splice;
    const long splice_end = splice->at + (long)splice->length;
    long offset = feed.position;
    if (offset >= splice_end) offset += splice->removed - (long)splice->length;
    else if (offset >= splice->at) offset = splice->at + splice->removed;
    fseek(feed.file, offset, SEEK_SET);
}

size_t quarn_input_read(char *data, size_t size) {
    const quarn_splice *splice = feed.splice;
    const long splice_end = splice->at + (long)splice->length;
    size_t got = 0;
    while (got < size) {
        size_t n = size - got;
        if (feed.position >= splice->at && feed.position < splice_end) {
            if (n > (size_t)(splice_end - feed.position)) n = (size_t)(splice_end - feed.position);
            memcpy(data + got, splice->bytes + (feed.position - splice->at), n);
        } else {
            if (feed.position < splice->at && n > (size_t)(splice->at - feed.position))
                n = (size_t)(splice->at - feed.position);
            n = fread(data + got, 1, n, feed.file);
            if (n == 0) break;
        }
        got += n;
        feed.position += (long)n;
        if (feed.position == splice->at && splice->removed) seek_to_position();
    }
    return got;
}

/* Two kinds of read reach here. Refills of stb's small read-ahead buffer
 * (always the buffer of the first read): once one returns 0 bytes stb stops
 * calling back and reads zeros forever, so a decode looping at the end of the
 * file could never be stopped. A refill past the end therefore returns one
 * zero byte and counts it. Bulk reads of pixel or chunk data straight into
 * the decoder's buffers: some decoders ignore a short count and would return
 * uninitialised memory, so a short bulk read ends the decode. */
static int read_file(void *user, char *data, int size) {
    size_t got;
    (void)user;
    if (!feed.refill_buffer) feed.refill_buffer = data;
    got = quarn_input_read(data, (size_t)size);
    if (data != feed.refill_buffer) {
        if (got < (size_t)size) quarn_abort_decode("file ends too early");
        return (int)got;
    }
    if (got > 0) return (int)got;
    if (++feed.bytes_past_end > QUARN_MAX_BYTES_PAST_END) quarn_abort_decode("file ends too early");
    data[0] = 0;
    return 1;
}

static void skip_file(void *user, int n) {
    (void)user;
    feed.position += n;
    seek_to_position();
}

static int file_ended(void *user) {
    (void)user;
    return feof(feed.file) || ferror(feed.file);
}

const stbi_io_callbacks quarn_input_callbacks = {read_file, skip_file, file_ended};

void quarn_input_restart(void) {
    clearerr(feed.file);
    feed.position = 0;
    seek_to_position();
    feed.refill_buffer = NULL;
    feed.bytes_past_end = 0;
}

void quarn_input_start(FILE *file, const quarn_splice *splice) {
    memset(&feed, 0, sizeof feed);
    feed.file = file;
    feed.splice = splice;
    quarn_input_restart();
}

size_t quarn_input_bytes_past_end(void) {
    return feed.bytes_past_end;
}
