/* stb_image's format tests and loaders, as the decode calls them, over the
 * input of stb_input.h. */
#ifndef QUARN_IMAGE_STB_LOADERS_H
#define QUARN_IMAGE_STB_LOADERS_H

#ifdef __cplusplus
extern "C" {
#endif

/* The formats in the order stb's loader tries them. */
typedef enum quarn_format {
    QUARN_NO_FORMAT = -1,
    QUARN_PNG, QUARN_BMP, QUARN_GIF, QUARN_PSD, QUARN_PIC, QUARN_JPEG, QUARN_PNM, QUARN_HDR,
    QUARN_TGA
} quarn_format;

const char *quarn_format_name(quarn_format format);

/* The format stb's loader takes the input for, or QUARN_NO_FORMAT. */
quarn_format quarn_stb_format(void);

/* Whether the input starts with a run of 0xFF bytes as long as stb's
 * read-ahead buffer. stb's JPEG test skips such a run; having read past the
 * buffer, its rewind only reaches the start of the buffer it now holds, so
 * the formats tested after JPEG would see the file from there on (a 16-bit
 * PNM that stb then over-reads, for one). No image file starts so. */
int quarn_stb_starts_with_long_fill(void);

/* stb's header check: returns 1 and the declared size, or 0. */
int quarn_stb_info(int *width, int *height);

/* Decodes the input, taken for `format`, into RGBA pixels from the decoder's
 * heap, or NULL with a reason (quarn_stb_failure_reason). `width` x
 * `height`: the size the header declared, or 0 x 0 where unknown. */
unsigned char *quarn_stb_load(quarn_format format, int width, int height, int *loaded_width,
                              int *loaded_height);

/* Why stb's last info or load failed; NULL or "" where it gives no reason. */
const char *quarn_stb_failure_reason(void);

#ifdef __cplusplus
}
#endif

#endif
