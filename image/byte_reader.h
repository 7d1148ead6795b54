/* The byte reader of the walks over a file's structure. */
#ifndef QUARN_IMAGE_BYTE_READER_H
#define QUARN_IMAGE_BYTE_READER_H

#include <stdio.h>
#include <string.h>

/* Reads the decoder's stream as stb reads a file: past its end every byte is
 * 0. A reader owns the stream's position while in use: it starts at the
 * offset it is opened at, and leaves the position wherever its last read or
 * move ended, so whoever reads the stream next opens it where it wants. The
 * stream is the decode's own, so bytes are read without stdio's lock: that
 * would cost more than the rest of a walk. */
typedef struct quarn_reader {
    FILE *file;
} quarn_reader;

static inline quarn_reader quarn_reader_at(FILE *file, long offset) {
    quarn_reader reader = {file};
    fseek(file, offset, SEEK_SET);
    return reader;
}

/* The next byte, or EOF at the end of the file. */
static inline int quarn_next_char(quarn_reader *reader) {
    return getc_unlocked(reader->file);
}

/* The next byte, 0 past the end of the file. */
static inline int quarn_next_byte(quarn_reader *reader) {
    const int c = getc_unlocked(reader->file);
    return c == EOF ? 0 : c;
}

static inline int quarn_next_be16(quarn_reader *reader) {
    const int high = quarn_next_byte(reader);
    return high << 8 | quarn_next_byte(reader);
}

static inline int quarn_next_le16(quarn_reader *reader) {
    const int low = quarn_next_byte(reader);
    return low | quarn_next_byte(reader) << 8;
}

/* Reads `size` bytes into `into`, zeros past the end of the file; returns
 * how many the file held. */
static inline size_t quarn_next_bytes(quarn_reader *reader, void *into, size_t size) {
    const size_t held = fread(into, 1, size, reader->file);
    memset((char *)into + held, 0, size - held);
    return held;
}

/* Moves `n` bytes on, or to `offset`; past the end is allowed. Returns 0, or
 * -1 (staying put) for a place before the start or beyond the largest offset. */
static inline int quarn_skip(quarn_reader *reader, long n) {
    return fseek(reader->file, n, SEEK_CUR);
}

static inline int quarn_seek(quarn_reader *reader, long offset) {
    return fseek(reader->file, offset, SEEK_SET);
}

static inline long quarn_offset(const quarn_reader *reader) {
    return ftell(reader->file);
}

/* Whether a read since the last move met the end of the file. */
static inline int quarn_met_end(const quarn_reader *reader) {
    return feof(reader->file);
}

#endif
