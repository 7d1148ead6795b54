/* What stb_image 2.27 will do with a GIF's first frame, known before it runs. */
#ifndef QUARN_IMAGE_GIF_STRUCTURE_H
#define QUARN_IMAGE_GIF_STRUCTURE_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* stb expands each LZW code by walking its prefix chain, one recursive call
 * a link, for every code, even past the frame's last pixel. */
typedef struct quarn_gif_frame {
    int reached;         /* 1 when stb reaches the first frame's LZW data */
    int width, height;   /* the frame's own size, within the screen */
    long long expansion; /* pixels all its codes expand to, as stb walks them */
    int chain_depth;     /* the longest chain stb walks for one code (at most 4095) */
    int truncated;       /* 1 when the file ends before the frame is whole */
} quarn_gif_frame;

/* Reads the GIF in `file` as stb reads it, up to the end of the first frame's
 * LZW data, counting without decoding. The frame is whole once its data
 * reaches the end code or codes every pixel; a file ending before (in the
 * image descriptor, the palette or the data), which stb would read on as
 * zeros, is truncated. Returns 1 for a GIF, and fills `frame`
 * when stb reaches that data (however it ends: codes up to an error of stb's
 * count too), leaving it zeroed where stb fails before, for its own reason;
 * returns 0 when the file is no GIF and -1 when memory runs out. */
int quarn_gif_first_frame(FILE *file, quarn_gif_frame *frame);

#ifdef __cplusplus
}
#endif

#endif
