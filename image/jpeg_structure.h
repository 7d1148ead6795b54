/* Checks of a JPEG file's marker segments and scans, made before stb_image
 * decodes it. */
#ifndef QUARN_IMAGE_JPEG_STRUCTURE_H
#define QUARN_IMAGE_JPEG_STRUCTURE_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* More scans than this are refused. stb decodes every block of a scan's
 * components again for each scan, however few bytes the scan holds (about
 * 15 ms a scan for a 4096 x 4096 grey frame, the largest a 14 KB file may
 * declare). Encoders write 1 to 4 baseline scans, and progressive scripts of
 * 6 to about 20; this leaves five times that, and keeps the extra work at
 * 100 decodes of the frame: about 1.5 s at 4096 x 4096, 25 s at the
 * 250-megapixel limit, whose single decode alone takes seconds. */
#define QUARN_MAX_JPEG_SCANS 100

/* Returns why stb_image must not decode the JPEG in `file`, or NULL when it
 * may. Refused: a Huffman table of more than 256 codes (stb would write past
 * it); more than QUARN_MAX_JPEG_SCANS scans; a scan that decodes with a
 * Huffman table no segment before it defined, or a frame component whose
 * quantisation table the file never defines (stb would read them
 * uninitialised); and after the frame, the end of the file before the
 * end-of-image marker, a byte where a marker must follow, a marker or segment
 * stb cannot read there, or a restart marker without a restart interval (stb
 * 2.27 fails on those, stb 2.28 and later return the image decoded so far).
 * Reads from the current position; leaves the position anywhere. */
const char *quarn_jpeg_structure_fault(FILE *file);

#ifdef __cplusplus
}
#endif

#endif
