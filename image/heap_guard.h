/* The decoder's heap: every block stb allocates, tracked, zeroed and kept
 * within a budget, so a failed decode releases all and reads no stale
 * memory. */
#ifndef QUARN_IMAGE_HEAP_GUARD_H
#define QUARN_IMAGE_HEAP_GUARD_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Starts tracking a decode on this thread, with `budget` bytes to hold at
 * once; forgets any earlier decode's state (not its blocks). */
void quarn_heap_start(size_t budget);

void quarn_heap_set_budget(size_t budget);

/* stb's allocator. Every block starts zeroed, and so does the grown part of
 * a reallocated one: stb reads some memory it never wrote (planes of
 * components no scan names, back-references to unwritten output), and must
 * find zeros there rather than what the process held before. NULL past the
 * budget or when the system has no memory left (each remembered). */
void *quarn_heap_malloc(size_t size);
void *quarn_heap_realloc(void *block, size_t size);
void quarn_heap_free(void *block);

/* Announces that the next block of exactly `size` bytes is written whole
 * before anything reads it, so it needs no zeroing; the announcement holds
 * for that one block, until quarn_heap_start or another announcement. */
void quarn_heap_written_whole(size_t size);

/* Hands `block` to the caller: it outlives the decode, released with
 * quarn_heap_free. */
void quarn_heap_hand_over(void *block);

/* Releases every block of the decode not handed over. */
void quarn_heap_release_all(void);

int quarn_heap_over_budget(void);      /* an allocation was refused for the budget */
int quarn_heap_out_of_memory(void);    /* the system refused an allocation */

#ifdef __cplusplus
}
#endif

#endif
