/* Every limit the decoder holds a file to, each with its reason: what it
 * refuses before stb_image runs, the memory and stack it grants a decode,
 * and how it reads the file. */
#ifndef QUARN_IMAGE_DECODER_LIMITS_H
#define QUARN_IMAGE_DECODER_LIMITS_H

/* Refused from the header, before decoding. */

/* Images declaring more pixels (a 200-megapixel photo passes; its result is
 * 4.8 GB). */
#define QUARN_MAX_PIXELS 250000000LL

/* Images declaring more pixels than this many per byte of file, since no
 * file of the format can hold them: a JPEG needs a bit for each 8 x 8 block
 * of its largest plane (a quarter of that with the most lopsided sampling
 * factors), a GIF's 12-bit LZW codes stand for at most 4096 pixels each
 * (counted on its first frame: the screen around the frame needs no data),
 * and no other format stb reads beats PIC's runs of 65535 pixels in 4 bytes.
 * Otherwise stb's JPEG, GIF, PIC and PSD decoders would fill a huge declared
 * image from a few bytes, costing seconds and gigabytes. A file of
 * QUARN_MAX_PIXELS bytes can hold any size allowed, so larger ones skip this
 * check. */
#define QUARN_MAX_JPEG_PIXELS_PER_BYTE 2048LL
#define QUARN_MAX_GIF_PIXELS_PER_BYTE 4096LL
#define QUARN_MAX_PIXELS_PER_BYTE 16384LL

/* Refused by the walks of a file's structure, before decoding. */

/* A GIF whose first frame's LZW codes expand to more pixels than the frame
 * has, by over this many per byte of file. stb walks each code's whole
 * prefix chain, up to 4095 links, even past the frame's last pixel: a 1 x 1
 * frame fed such chains cost 6 s a megabyte. Valid frames expand to their
 * own size; this keeps the surplus under half a second a megabyte. */
#define QUARN_MAX_GIF_SURPLUS_PIXELS_PER_BYTE 256LL

/* A progressive JPEG whose scans decode more than this many times its
 * frame's blocks. stb decodes every block a scan names, however few bytes
 * the scan holds, and a scan without data costs as much as one full of it.
 * Encoders' scripts decode each block 4 to 6 times (libjpeg's longest: 6
 * scans for a grey or luma plane); this leaves room for longer ones. */
#define QUARN_JPEG_MAX_PASSES 8

/* A JPEG frame of more 8 x 8 blocks than this many per byte of file: every
 * block of every component is coded in at least one bit. */
#define QUARN_JPEG_MAX_BLOCKS_PER_BYTE 8

/* A JPEG scan whose entropy-coded data (from its header to the next marker
 * other than a stuffed zero or restart, fill and junk bytes included) runs
 * longer than its blocks could need, by more than the slack. A scan codes
 * at most 64 coefficients of a block of 8-bit samples, each in a Huffman
 * code of up to 16 bits and at most 11 more (a DC difference's; AC values
 * take 10, refinements fewer, and an end-of-band run's r more bits end 2^r
 * blocks or more): 216 bytes a block, 432 with a zero stuffed after every
 * 0xFF byte; a restart after each MCU adds its marker and up to one padding
 * byte, stuffed: 4 more. stb reads on to the next 0xFF, so a scan cut short
 * and followed by a hole of zeros (a sparse file of a terabyte) would be
 * read whole. The slack covers the scan's last byte, fill bytes and the
 * zeros some cameras leave after their data. */
#define QUARN_JPEG_MAX_SCAN_BYTES_PER_BLOCK 436LL
#define QUARN_JPEG_SCAN_SLACK_BYTES (1LL << 20)

/* A JPEG Huffman table of more codes: stb 2.27 would write the surplus past
 * its table of 257 entries, over its other tables. */
#define QUARN_JPEG_MAX_HUFFMAN_CODES 256

/* A PNG chunk longer, anywhere before the end chunk: no valid file has one,
 * and stb skips it as a negative length, going on from a place no walk can
 * follow. */
#define QUARN_MAX_PNG_CHUNK_BYTES 0x7FFFFFFFUL

/* Granted to a decode. */

/* Memory stb may hold at once: room for the worst format (16-bit or float
 * buffers beside the 8-bit result) for each pixel declared (for a JPEG, each
 * sample of its largest plane padded to whole MCUs, where that is more), the
 * compressed data twice over, and small tables. A decode needing more fails. */
#define QUARN_BUDGET_BYTES_PER_PIXEL 32.0
#define QUARN_BUDGET_FILE_COPIES 2.0
#define QUARN_BUDGET_BASE_BYTES (16 << 20)

/* Stack for a GIF's decode. stb's GIF loader holds 35 KB of state on the
 * stack, even for a file whose first frame it never reaches, and recurses
 * once for each link of a code's prefix chain: measured from the decode's
 * start with GCC 12, 43 KB plus 32 bytes a link at -O2 or -O3, 64
 * unoptimised (174 or 304 KB for a chain of 4091 links). These leave twice
 * the most; where the calling thread has less left, the decode runs on a
 * thread with this much and as much again for its own start. */
#define QUARN_GIF_STACK_BYTES (96 << 10)
#define QUARN_GIF_STACK_BYTES_PER_LINK 128

/* Reading the file. */

/* Bytes stb may read past the end of the file (zeros) before the decode
 * ends: a decode looping at the end could not be stopped otherwise. */
#define QUARN_MAX_BYTES_PAST_END (1 << 20)

/* Memory a thread keeps from its last stream for its next one: streams
 * reserved larger are unmapped when done, so a thread that once read a huge
 * file does not hold its pages between calls (where a worker's monitor
 * counts resident memory, given back lazily counts until the kernel takes
 * it). Photos' files fit. */
#define QUARN_MAX_SPARE_BYTES (64 << 20)

/* Reads from the file run ahead of the decoder by at least this much, so
 * that the small refills of stb's read-ahead cost few system calls. */
#define QUARN_READ_AHEAD_BYTES (64 << 10)

#endif
