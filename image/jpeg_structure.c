/* stb_image 2.27 trusts a JPEG's marker segments too far:
 * - it fills a Huffman table of 257 entries from the segment's 16 code counts
 *   without checking that they add up to at most 256, so a hostile table
 *   writes up to 4 KB past it, over the decoder's other tables;
 * - it decodes with whatever Huffman or quantisation table a scan or frame
 *   names, defined or not;
 * - it decodes all blocks again for every scan, however many there are.
 * The walk below visits every marker segment stb could reach, in stb's order,
 * a superset of those it reads, and checks each of these. */
#include "image/jpeg_structure.h"

#define MARKER_SOI 0xD8
#define MARKER_EOI 0xD9
#define MARKER_DHT 0xC4
#define MARKER_DQT 0xDB
#define MARKER_SOS 0xDA
#define MAX_CODES 256
#define MAX_COMPONENTS 4
#define TABLE_SLOTS 4
#define TEXT(x) #x
#define NUMBER_TEXT(x) TEXT(x)

/* What the segments so far defined, as stb would hold it. */
typedef struct jpeg_walk {
    FILE *file;
    unsigned huffman_defined[2]; /* bit t: DC (0) or AC (1) table t */
    unsigned quantisation_defined;
    int has_frame, progressive, components, scans;
    int component_id[MAX_COMPONENTS], quantisation_table[MAX_COMPONENTS];
    const char *fault; /* why stb must not decode the file */
    int stb_stops;     /* at a segment stb refuses itself, ending its decode */
} jpeg_walk;

/* Past EOF stb reads zeros. */
static int next_byte(FILE *file) {
    int c = getc(file);
    return c == EOF ? 0 : c;
}

static int next_word(FILE *file) {
    int high = next_byte(file);
    return high << 8 | next_byte(file);
}

/* The next marker after the current position, skipping entropy-coded data and
 * padding as stb does: 0xFF, any fill 0xFFs, then a byte that is neither a
 * stuffed zero nor a restart marker. EOF at the end of the file. */
static int next_marker(FILE *file) {
    int c;
    for (;;) {
        do c = getc(file); while (c != 0xFF && c != EOF);
        do c = getc(file); while (c == 0xFF);
        if (c == EOF) return EOF;
        if (c != 0x00 && (c < 0xD0 || c > 0xD7)) return c;
    }
}

/* Each segment reader sets the walk's fault, or stb_stops, or neither. */

static void read_huffman_tables(jpeg_walk *walk, long length) {
    while (length > 0) {
        int i, codes = 0;
        const int slot = next_byte(walk->file);
        if (slot >> 4 > 1 || (slot & 15) >= TABLE_SLOTS) break; /* stb refuses it first */
        for (i = 0; i < 16; ++i) codes += next_byte(walk->file);
        if (codes > MAX_CODES) {
            walk->fault = "corrupt JPEG Huffman table";
            return;
        }
        walk->huffman_defined[slot >> 4] |= 1u << (slot & 15);
        if (fseek(walk->file, codes, SEEK_CUR) != 0) break;
        length -= 17 + codes;
    }
    walk->stb_stops = length != 0; /* stb needs the tables to fill the segment */
}

static void read_quantisation_tables(jpeg_walk *walk, long length) {
    while (length > 0) {
        const int slot = next_byte(walk->file), wide = slot >> 4;
        if (wide > 1 || (slot & 15) >= TABLE_SLOTS) break;
        walk->quantisation_defined |= 1u << (slot & 15);
        if (fseek(walk->file, wide ? 128 : 64, SEEK_CUR) != 0) break;
        length -= wide ? 129 : 65;
    }
    walk->stb_stops = length != 0; /* stb needs the tables to fill the segment */
}

/* Baseline (SOF0, SOF1) or progressive (SOF2): the only frames stb reads. */
static void read_frame(jpeg_walk *walk, int marker, long length) {
    int i;
    fseek(walk->file, 5, SEEK_CUR); /* sample precision, height, width */
    walk->components = next_byte(walk->file);
    if (walk->components < 1 || walk->components > MAX_COMPONENTS ||
        length != 8 + 3 * walk->components) {
        walk->stb_stops = 1;
        return;
    }
    for (i = 0; i < walk->components; ++i) {
        walk->component_id[i] = next_byte(walk->file);
        next_byte(walk->file); /* sampling factors */
        walk->quantisation_table[i] = next_byte(walk->file);
        if (walk->quantisation_table[i] >= TABLE_SLOTS) {
            walk->stb_stops = 1;
            return;
        }
    }
    walk->has_frame = 1;
    walk->progressive = marker == 0xC2;
}

/* stb decodes a baseline scan with both tables of each component, a first DC
 * scan (spectral start 0, no refinement) with the DC table, a DC refinement
 * with none, and any AC scan with the AC table. */
static void read_scan(jpeg_walk *walk, long length) {
    int i, c, count = next_byte(walk->file), tables[MAX_COMPONENTS];
    int spectral_start, refines, needs_dc, needs_ac;
    if (++walk->scans > QUARN_MAX_JPEG_SCANS) {
        walk->fault = "JPEG has more than " NUMBER_TEXT(QUARN_MAX_JPEG_SCANS) " scans";
        return;
    }
    if (!walk->has_frame || count < 1 || count > walk->components || length != 6 + 2 * count) {
        walk->stb_stops = 1;
        return;
    }
    for (i = 0; i < count; ++i) {
        const int id = next_byte(walk->file);
        tables[i] = next_byte(walk->file);
        for (c = 0; c < walk->components && walk->component_id[c] != id; ++c) continue;
        if (c == walk->components || tables[i] >> 4 >= TABLE_SLOTS ||
            (tables[i] & 15) >= TABLE_SLOTS) {
            walk->stb_stops = 1;
            return;
        }
    }
    spectral_start = next_byte(walk->file);
    next_byte(walk->file); /* spectral end */
    refines = next_byte(walk->file) >> 4;
    needs_dc = !walk->progressive || (spectral_start == 0 && !refines);
    needs_ac = !walk->progressive || spectral_start > 0;
    for (i = 0; i < count; ++i) {
        if ((needs_dc && !(walk->huffman_defined[0] >> (tables[i] >> 4) & 1)) ||
            (needs_ac && !(walk->huffman_defined[1] >> (tables[i] & 15) & 1)))
            walk->fault = "JPEG scan uses an undefined Huffman table";
    }
}

static const char *undefined_quantisation(const jpeg_walk *walk) {
    int i;
    for (i = 0; walk->has_frame && i < walk->components; ++i)
        if (!(walk->quantisation_defined >> walk->quantisation_table[i] & 1))
            return "JPEG frame uses an undefined quantisation table";
    return NULL;
}

const char *quarn_jpeg_structure_fault(FILE *file) {
    jpeg_walk walk = {0};
    int marker;
    walk.file = file;
    while (!walk.stb_stops && (marker = next_marker(file)) != EOF && marker != MARKER_EOI) {
        long length, start;
        if (marker == MARKER_SOI) continue;
        length = next_word(file);
        start = ftell(file);
        if (marker == MARKER_DHT) {
            read_huffman_tables(&walk, length - 2);
        } else if (marker == MARKER_DQT) {
            read_quantisation_tables(&walk, length - 2);
        } else if (marker == MARKER_SOS) {
            read_scan(&walk, length);
        } else if ((marker == 0xC0 || marker == 0xC1 || marker == 0xC2) && !walk.has_frame) {
            read_frame(&walk, marker, length);
        }
        if (walk.fault) return walk.fault;
        if (length < 2 || fseek(file, start + length - 2, SEEK_SET) != 0) walk.stb_stops = 1;
    }
    return walk.stb_stops ? NULL : undefined_quantisation(&walk);
}
