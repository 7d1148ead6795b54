/* stb_image's input: its read callbacks over the decoder's stream, with the
 * palette padding spliced in and reads past the end bounded. */
#ifndef QUARN_IMAGE_STB_INPUT_H
#define QUARN_IMAGE_STB_INPUT_H

#include <stdio.h>

#include <stb/stb_image.h>

#include "image/palette_padding.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Callbacks for stb's *_from_callbacks calls, over the stream and splice
 * given to quarn_input_start, on this thread. They end the decode (through
 * quarn_abort_decode) on a bulk read that comes up short, which some of stb's
 * decoders would not notice, and on a refill QUARN_MAX_BYTES_PAST_END past
 * the end of the file. */
extern const stbi_io_callbacks quarn_input_callbacks;

/* Feeds stb `file` with `splice` in place, from its start. */
void quarn_input_start(FILE *file, const quarn_splice *splice);

/* Starts over from the file's start, for another of stb's passes. */
void quarn_input_restart(void);

/* Reads `size` bytes, the splice in place, as stb's next read would; returns
 * how many there were. */
size_t quarn_input_read(char *data, size_t size);

/* The zero bytes refills have returned past the end of the file since the
 * last start. */
size_t quarn_input_bytes_past_end(void);

#ifdef __cplusplus
}
#endif

#endif
