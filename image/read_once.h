/* A file stream that reads each byte of the file at most once. */
#ifndef QUARN_IMAGE_READ_ONCE_H
#define QUARN_IMAGE_READ_ONCE_H

#include <stdio.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Returns a read-only stream over the open regular file `fd` of `size` bytes
 * (its size when opened), or NULL with errno set (ENOMEM) and `fd` left open.
 * The stream owns `fd`: fclose closes it. Each byte comes from the file the
 * first time the stream reaches it, and from memory ever after, so however
 * often the decoder rereads the file, every read sees the same bytes, even
 * while another process rewrites the file. It holds the file's first `size`
 * bytes at most (a file grown since it was opened ends there, one cut short
 * ends sooner), and seeks as a file does, past its end too, where reads find
 * nothing. Memory for `size` bytes is reserved at once, without commitment,
 * and takes memory only as far as the decoder reads: a huge sparse file
 * costs no more than the bytes read. That memory is kept, given back
 * lazily, for the thread's next stream. A read the system fails sets the
 * stream's error. */
FILE *quarn_open_read_once(int fd, off_t size);

#ifdef __cplusplus
}
#endif

#endif
