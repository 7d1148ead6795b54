#include "image/heap_guard.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

/* Every live block starts with this header, linked into the decode in
 * progress, so an abandoned decode can free them all. Blocks handed over are
 * unlinked and outlive it. */
typedef union block_header {
    struct {
        union block_header *prev, *next;
        size_t size;
        int linked;
    } link;
    max_align_t align;
} block_header;

typedef struct heap {
    block_header *blocks;
    size_t used, budget;
    size_t written_whole; /* the size of the next block stb writes whole, or 0 */
    int over_budget, out_of_memory;
} heap;

/* stb's hooks take no user pointer: the decode in progress on this thread.
 * Static storage keeps it valid across the decode's longjmp. */
static _Thread_local heap guard;

void quarn_heap_start(size_t budget) {
    memset(&guard, 0, sizeof guard);
    guard.budget = budget;
}

void quarn_heap_set_budget(size_t budget) {
    guard.budget = budget;
}

void quarn_heap_written_whole(size_t size) {
    guard.written_whole = size;
}

static void link_block(block_header *header, size_t size) {
    header->link.size = size;
    header->link.linked = 1;
    header->link.prev = NULL;
    header->link.next = guard.blocks;
    if (guard.blocks) guard.blocks->link.prev = header;
    guard.blocks = header;
    guard.used += size;
}

static void unlink_block(block_header *header) {
    if (!header->link.linked) return;
    if (header->link.prev) header->link.prev->link.next = header->link.next;
    else guard.blocks = header->link.next;
    if (header->link.next) header->link.next->link.prev = header->link.prev;
    guard.used -= header->link.size;
    header->link.linked = 0;
}

static int within_budget(size_t more) {
    if (more <= guard.budget && guard.used <= guard.budget - more) return 1;
    guard.over_budget = 1;
    return 0;
}

void *quarn_heap_malloc(size_t size) {
    block_header *header;
    const int whole = size == guard.written_whole;
    if (!within_budget(size) || size > SIZE_MAX - sizeof *header) return NULL;
    header = whole ? malloc(sizeof *header + size) : calloc(1, sizeof *header + size);
    if (!header) {
        guard.out_of_memory = 1;
        return NULL;
    }
    if (whole) guard.written_whole = 0;
    link_block(header, size);
    return header + 1;
}

void *quarn_heap_realloc(void *block, size_t size) {
    block_header *header, *moved;
    size_t old_size;
    if (!block) return quarn_heap_malloc(size);
    header = (block_header *)block - 1;
    old_size = header->link.size;
    if (size > old_size && !within_budget(size - old_size)) return NULL;
    if (size > SIZE_MAX - sizeof *header) return NULL;
    unlink_block(header);
    moved = realloc(header, sizeof *header + size);
    if (!moved) {
        link_block(header, old_size);
        guard.out_of_memory = 1;
        return NULL;
    }
    if (size > old_size) memset((char *)(moved + 1) + old_size, 0, size - old_size);
    link_block(moved, size);
    return moved + 1;
}

void quarn_heap_free(void *block) {
    block_header *header;
    if (!block) return;
    header = (block_header *)block - 1;
    unlink_block(header);
    free(header);
}

void quarn_heap_hand_over(void *block) {
    unlink_block((block_header *)block - 1);
}

void quarn_heap_release_all(void) {
    while (guard.blocks) quarn_heap_free(guard.blocks + 1);
}

int quarn_heap_over_budget(void) {
    return guard.over_budget;
}

int quarn_heap_out_of_memory(void) {
    return guard.out_of_memory;
}
