/* stb_image trusts a JPEG's marker segments too far:
 * - 2.27 fills a Huffman table of 257 entries from the segment's 16 code
 *   counts without checking that they add up to at most 256, so a hostile
 *   table writes up to 4 KB past it, over the decoder's other tables;
 * - it decodes with whatever Huffman or quantisation table a scan or frame
 *   names, defined or not;
 * - it decodes every block a scan names, however few bytes the scan holds;
 * - after the frame, at a segment it cannot read or at the end of the file,
 *   2.27 fails, but 2.28 and later end the decode and return the image so far.
 * The walk below reads the file as stb does, segment by segment: before the
 * frame stb skips any bytes up to the next marker and fails by itself on a
 * segment it cannot read; after it, a marker must follow each segment at
 * once, and a scan's entropy-coded data runs up to the first marker other
 * than a stuffed zero or, with a restart interval, a restart marker (where
 * stb's bit reader stops). */
#include "image/jpeg_structure.h"

#include "image/byte_reader.h"
#include "image/decoder_limits.h"

#define MARKER_EOI 0xD9
#define MARKER_SOS 0xDA
#define MARKER_DQT 0xDB
#define MARKER_DNL 0xDC
#define MARKER_DRI 0xDD
#define MARKER_DHT 0xC4
#define MARKER_COM 0xFE
#define MARKER_PROGRESSIVE 0xC2
#define IS_FRAME(m) ((m) == 0xC0 || (m) == 0xC1 || (m) == MARKER_PROGRESSIVE) /* all stb reads */
#define IS_APP(m) ((m) >= 0xE0 && (m) <= 0xEF)
#define IS_RESTART(m) ((m) >= 0xD0 && (m) <= 0xD7)
#define NOT_A_MARKER 0x100 /* a byte other than 0xFF where a marker must be */
#define SCAN_TOO_LONG 0x101 /* more scan data than the scan's blocks can take */
#define MAX_COMPONENTS 4
#define TABLE_SLOTS 4
#define TEXT(x) #x
#define NUMBER_TEXT(x) TEXT(x)
#define CEIL_DIV(a, b) (((a) + (b) - 1) / (b))

#define TRUNCATED "JPEG file ends before its end-of-image marker (truncated)"

typedef struct frame_component {
    int id, h, v, quantisation_table, coded;
    long long blocks; /* decoded by a scan of this component alone */
} frame_component;

/* What the segments so far defined, as stb would hold it. */
typedef struct jpeg_walk {
    quarn_reader reader;
    long long file_size;
    quarn_jpeg_frame *frame;
    unsigned huffman_defined[2]; /* bit t: DC (0) or AC (1) table t */
    unsigned quantisation_defined;
    int restart_interval;
    int has_frame, progressive, height, components;
    frame_component component[MAX_COMPONENTS];
    long long mcus, blocks_decoded, blocks_allowed;
    long long scan_room; /* bytes of entropy-coded data the scan may still hold */
    const char *fault;   /* why stb must not decode the file */
    /* At a segment or scan stb refuses by itself, in every version, or at a
     * frame the pixel limit refuses once stb reads its size. */
    int stb_fails;
} jpeg_walk;

/* The byte after the next 0xFF and any fill 0xFFs, or EOF. */
static int marker_after_gap(quarn_reader *reader) {
    int c;
    do c = quarn_next_char(reader); while (c != 0xFF && c != EOF);
    while (c == 0xFF) c = quarn_next_char(reader);
    return c;
}

static int marker_at_once(quarn_reader *reader) {
    int c = quarn_next_char(reader);
    if (c != 0xFF) return c == EOF ? EOF : NOT_A_MARKER;
    while (c == 0xFF) c = quarn_next_char(reader);
    return c;
}

/* The next byte of a scan's data, EOF, or SCAN_TOO_LONG past its room. */
static int next_scan_char(jpeg_walk *walk) {
    return walk->scan_room-- > 0 ? quarn_next_char(&walk->reader) : SCAN_TOO_LONG;
}

/* The marker ending the scan's data, EOF, or SCAN_TOO_LONG: stb reads on to
 * the next 0xFF however far, through a terabyte's sparse hole too. */
static int marker_after_scan(jpeg_walk *walk) {
    for (;;) {
        int c;
        do c = next_scan_char(walk); while (c != 0xFF && c != EOF && c != SCAN_TOO_LONG);
        while (c == 0xFF) c = next_scan_char(walk);
        if (c != 0x00 && !(IS_RESTART(c) && walk->restart_interval)) return c;
    }
}

/* Each segment reader returns whether stb reads the segment, and may set the
 * walk's fault. */

static int read_huffman_tables(jpeg_walk *walk, long length) {
    while (length > 0) {
        int i, counts[16], codes = 0;
        unsigned code = 0;
        const int slot = quarn_next_byte(&walk->reader);
        if (slot >> 4 > 1 || (slot & 15) >= TABLE_SLOTS) return 0;
        for (i = 0; i < 16; ++i) codes += counts[i] = quarn_next_byte(&walk->reader);
        if (codes > QUARN_JPEG_MAX_HUFFMAN_CODES) {
            walk->fault = "corrupt JPEG Huffman table";
            return 0;
        }
        /* stb refuses more codes of a length than the length allows. */
        for (i = 0; i < 16; ++i, code <<= 1)
            if (counts[i] && (code += (unsigned)counts[i]) - 1 >= 1u << (i + 1)) return 0;
        walk->huffman_defined[slot >> 4] |= 1u << (slot & 15);
        if (quarn_skip(&walk->reader, codes) != 0) return 0;
        length -= 17 + codes;
    }
    return length == 0; /* stb needs the tables to fill the segment */
}

static int read_quantisation_tables(jpeg_walk *walk, long length) {
    while (length > 0) {
        const int slot = quarn_next_byte(&walk->reader), wide = slot >> 4;
        if (wide > 1 || (slot & 15) >= TABLE_SLOTS) return 0;
        walk->quantisation_defined |= 1u << (slot & 15);
        if (quarn_skip(&walk->reader, wide ? 128 : 64) != 0) return 0;
        length -= wide ? 129 : 65;
    }
    return length == 0;
}

/* Tables, restart interval, application data and comments: the segments stb
 * reads both before and after the frame. */
static int is_segment(int marker) {
    return marker == MARKER_DHT || marker == MARKER_DQT || marker == MARKER_DRI || IS_APP(marker) ||
           marker == MARKER_COM;
}

static int read_segment(jpeg_walk *walk, int marker, long length) {
    if (marker == MARKER_DHT) return read_huffman_tables(walk, length - 2);
    if (marker == MARKER_DQT) return read_quantisation_tables(walk, length - 2);
    if (marker == MARKER_DRI) {
        walk->restart_interval = quarn_next_be16(&walk->reader);
        return length == 4;
    }
    return length >= 2;
}

/* Reads the frame as stb does and sizes its blocks: a component of sampling
 * factors h x v spans ceil(width * h / h_max) x ceil(height * v / v_max)
 * pixels, which a scan of it alone decodes in whole blocks; a scan of several
 * decodes whole MCUs, h x v blocks of each. */
static int read_frame(jpeg_walk *walk, int marker, long length) {
    int i, width, h_max = 1, v_max = 1;
    long long mcus_x, mcus_y, coded = 0, padded = 0;
    if (quarn_next_byte(&walk->reader) != 8) return 0; /* sample precision */
    walk->height = quarn_next_be16(&walk->reader);
    width = quarn_next_be16(&walk->reader);
    walk->components = quarn_next_byte(&walk->reader);
    if (walk->height == 0 || width == 0 ||
        (walk->components != 1 && walk->components != 3 && walk->components != MAX_COMPONENTS) ||
        length != 8 + 3 * walk->components)
        return 0;
    for (i = 0; i < walk->components; ++i) {
        frame_component *c = &walk->component[i];
        int sampling;
        c->id = quarn_next_byte(&walk->reader);
        sampling = quarn_next_byte(&walk->reader);
        c->h = sampling >> 4;
        c->v = sampling & 15;
        c->quantisation_table = quarn_next_byte(&walk->reader);
        if (c->h < 1 || c->h > 4 || c->v < 1 || c->v > 4 || c->quantisation_table >= TABLE_SLOTS)
            return 0;
        if (c->h > h_max) h_max = c->h;
        if (c->v > v_max) v_max = c->v;
    }
    mcus_x = CEIL_DIV(width, 8 * h_max);
    mcus_y = CEIL_DIV(walk->height, 8 * v_max);
    for (i = 0; i < walk->components; ++i) {
        frame_component *c = &walk->component[i];
        if (h_max % c->h || v_max % c->v) return 0;
        c->blocks = CEIL_DIV(CEIL_DIV(width * c->h, h_max), 8) *
                    CEIL_DIV(CEIL_DIV(walk->height * c->v, v_max), 8);
        coded += c->blocks;
        padded += mcus_x * c->h * mcus_y * c->v;
    }
    /* Its blocks would let a scan read gigabytes before the size check. */
    if ((long long)width * walk->height > QUARN_MAX_PIXELS) walk->stb_fails = 1;
    walk->has_frame = 1;
    walk->progressive = marker == MARKER_PROGRESSIVE;
    walk->mcus = mcus_x * mcus_y;
    walk->blocks_allowed = QUARN_JPEG_MAX_PASSES * padded;
    walk->frame->padded_samples = mcus_x * 8 * h_max * mcus_y * 8 * v_max;
    if (walk->file_size >= 0 && coded > QUARN_JPEG_MAX_BLOCKS_PER_BYTE * walk->file_size)
        walk->fault = "JPEG frame has more blocks than its file can hold (truncated or corrupt)";
    return 1;
}

/* stb decodes a sequential scan with both tables of each component, a first
 * DC scan (spectral start 0, no refinement) with the DC table, a DC
 * refinement with none, and any AC scan with the AC table. */
static int read_scan(jpeg_walk *walk, long length) {
    int i, count = quarn_next_byte(&walk->reader), which[MAX_COMPONENTS], tables[MAX_COMPONENTS];
    int spectral_start, spectral_end, approximation, needs_dc, needs_ac;
    long long blocks = 0;
    if (count < 1 || count > walk->components || length != 6 + 2 * count) return 0;
    for (i = 0; i < count; ++i) {
        const int id = quarn_next_byte(&walk->reader);
        tables[i] = quarn_next_byte(&walk->reader);
        for (which[i] = 0; which[i] < walk->components && walk->component[which[i]].id != id; ++which[i])
            continue;
        if (which[i] == walk->components || tables[i] >> 4 >= TABLE_SLOTS ||
            (tables[i] & 15) >= TABLE_SLOTS)
            return 0;
    }
    spectral_start = quarn_next_byte(&walk->reader);
    spectral_end = quarn_next_byte(&walk->reader);
    approximation = quarn_next_byte(&walk->reader);
    if (walk->progressive ? spectral_start > spectral_end || spectral_end > 63 ||
                                approximation >> 4 > 13 || (approximation & 15) > 13
                          : spectral_start != 0 || approximation != 0)
        return 0;
    needs_dc = !walk->progressive || (spectral_start == 0 && !(approximation >> 4));
    needs_ac = !walk->progressive || spectral_start > 0;
    for (i = 0; i < count; ++i) {
        frame_component *c = &walk->component[which[i]];
        if ((needs_dc && !(walk->huffman_defined[0] >> (tables[i] >> 4) & 1)) ||
            (needs_ac && !(walk->huffman_defined[1] >> (tables[i] & 15) & 1)))
            walk->fault = "JPEG scan uses an undefined Huffman table";
        /* In a sequential frame each component is coded in exactly one scan. */
        if (!walk->progressive && c->coded++)
            walk->fault = "corrupt JPEG: a component in two sequential scans";
        blocks += count == 1 ? c->blocks : walk->mcus * c->h * c->v;
    }
    walk->blocks_decoded += blocks;
    walk->scan_room = QUARN_JPEG_MAX_SCAN_BYTES_PER_BLOCK * blocks + QUARN_JPEG_SCAN_SLACK_BYTES;
    if (walk->blocks_decoded > walk->blocks_allowed)
        walk->fault = "JPEG scans decode the frame's blocks more than " NUMBER_TEXT(
            QUARN_JPEG_MAX_PASSES) " times over";
    return 1;
}

/* Reads the segment at `marker` before the frame; returns the next marker. */
static int before_frame(jpeg_walk *walk, int marker) {
    long length, start;
    int read;
    if (!IS_FRAME(marker) && !is_segment(marker)) {
        walk->stb_fails = 1;
        return marker;
    }
    length = quarn_next_be16(&walk->reader);
    start = quarn_offset(&walk->reader);
    read = IS_FRAME(marker) ? read_frame(walk, marker, length) : read_segment(walk, marker, length);
    if (!read || quarn_seek(&walk->reader, start + length - 2) != 0) walk->stb_fails = 1;
    return walk->has_frame ? marker_at_once(&walk->reader) : marker_after_gap(&walk->reader);
}

/* Reads the segment or scan at `marker` after the frame; returns the next
 * marker. */
static int after_frame(jpeg_walk *walk, int marker) {
    long length, start;
    if (marker != MARKER_SOS && marker != MARKER_DNL && !is_segment(marker)) {
        walk->fault = marker == EOF                ? TRUNCATED
                      : marker == NOT_A_MARKER     ? "corrupt JPEG: data where a marker should be"
                      : marker == SCAN_TOO_LONG
                          ? "JPEG scan data longer than its blocks can take (corrupt)"
                      : IS_RESTART(marker) && !walk->restart_interval
                          ? "corrupt JPEG: restart marker without a restart interval"
                          : "corrupt JPEG: unexpected marker after the frame";
        return marker;
    }
    length = quarn_next_be16(&walk->reader);
    start = quarn_offset(&walk->reader);
    if (marker == MARKER_SOS) {
        if (!read_scan(walk, length)) walk->stb_fails = 1;
    } else if (marker == MARKER_DNL) {
        if (length != 4 || quarn_next_be16(&walk->reader) != walk->height) walk->stb_fails = 1;
    } else if (!read_segment(walk, marker, length) && !walk->fault) {
        walk->fault = "corrupt JPEG segment after the frame";
    }
    if (quarn_met_end(&walk->reader)) walk->fault = TRUNCATED;
    if (walk->fault || walk->stb_fails || quarn_seek(&walk->reader, start + length - 2) != 0)
        return marker;
    return marker == MARKER_SOS ? marker_after_scan(walk) : marker_at_once(&walk->reader);
}

static const char *undefined_quantisation(const jpeg_walk *walk) {
    int i;
    for (i = 0; walk->has_frame && i < walk->components; ++i)
        if (!(walk->quantisation_defined >> walk->component[i].quantisation_table & 1))
            return "JPEG frame uses an undefined quantisation table";
    return NULL;
}

const char *quarn_jpeg_structure_fault(FILE *file, long long file_size, quarn_jpeg_frame *frame) {
    jpeg_walk walk = {0};
    int marker;
    walk.reader = quarn_reader_at(file, 0);
    walk.file_size = file_size;
    walk.frame = frame;
    frame->padded_samples = 0;
    marker_after_gap(&walk.reader); /* the start-of-image marker stb's format test found */
    marker = marker_after_gap(&walk.reader);
    while (!walk.fault && !walk.stb_fails && !(walk.has_frame && marker == MARKER_EOI))
        marker = walk.has_frame ? after_frame(&walk, marker) : before_frame(&walk, marker);
    if (walk.fault || walk.stb_fails) return walk.fault;
    return undefined_quantisation(&walk);
}
