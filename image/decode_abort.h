/* Ending the decode in progress from inside stb_image. */
#ifndef QUARN_IMAGE_DECODE_ABORT_H
#define QUARN_IMAGE_DECODE_ABORT_H

#ifdef __cplusplus
extern "C" {
#endif

/* Jumps out of stb back to the decode in progress on this thread, which
 * releases every block and fails with `reason` (static text). */
_Noreturn void quarn_abort_decode(const char *reason);

#ifdef __cplusplus
}
#endif

#endif
