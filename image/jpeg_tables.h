/* A check stb_image 2.27 lacks: the Huffman tables of a JPEG file. */
#ifndef QUARN_IMAGE_JPEG_TABLES_H
#define QUARN_IMAGE_JPEG_TABLES_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Returns 0 when a Huffman table segment that stb_image could read in `file`
 * declares more than 256 codes, 1 otherwise. Reads from the current position;
 * leaves the position anywhere. */
int quarn_jpeg_tables_fit(FILE *file);

#ifdef __cplusplus
}
#endif

#endif
