/* Room on the calling thread's stack, and a thread with more where it lacks. */
#ifndef QUARN_IMAGE_STACK_ROOM_H
#define QUARN_IMAGE_STACK_ROOM_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes of stack left below the caller's frame on this thread, or 0 where the
 * system cannot tell. */
size_t quarn_stack_left(void);

/* Runs `run(argument)` on a new thread whose stack holds at least `bytes`,
 * with every signal left to the process's other threads, and waits for it to
 * end. Returns 0, or the error number of a thread that could not start, in
 * which case nothing ran. */
int quarn_run_with_stack(size_t bytes, void (*run)(void *), void *argument);

#ifdef __cplusplus
}
#endif

#endif
