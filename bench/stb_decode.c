/* stb_image alone, built like quarn's own decoder (same header, default
 * settings, -O3): the bench calls its stbi_load and stbi_image_free through
 * ctypes to time the decode that quarn.readimg wraps. Built with
 * ZEROED_ALLOCATIONS, every block starts zeroed, and so does the grown part of
 * a reallocated one, as in quarn's decoder (which spares only a JPEG's output,
 * written whole): the two builds side by side show what that zeroing costs. */
#ifdef ZEROED_ALLOCATIONS
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

typedef union zeroed_header {
    size_t size;
    max_align_t align;
} zeroed_header;

static void *zeroed_malloc(size_t size) {
    zeroed_header *header = calloc(1, sizeof *header + size);
    if (!header) return NULL;
    header->size = size;
    return header + 1;
}

static void *zeroed_realloc(void *block, size_t size) {
    zeroed_header *header;
    size_t old_size;
    if (!block) return zeroed_malloc(size);
    old_size = ((zeroed_header *)block - 1)->size;
    header = realloc((zeroed_header *)block - 1, sizeof *header + size);
    if (!header) return NULL;
    if (size > old_size) memset((char *)(header + 1) + old_size, 0, size - old_size);
    header->size = size;
    return header + 1;
}

static void zeroed_free(void *block) {
    if (block) free((zeroed_header *)block - 1);
}

#define STBI_MALLOC(size) zeroed_malloc(size)
#define STBI_REALLOC(block, size) zeroed_realloc(block, size)
#define STBI_FREE(block) zeroed_free(block)
#endif

#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>
