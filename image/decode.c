/* The one translation unit that compiles stb_image, all decoders, default settings. */
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>

#include <string.h>

#include "image/decode.h"

static int read_file(void *user, char *data, int size) {
    return (int)fread(data, 1, (size_t)size, (FILE *)user);
}

static void skip_file(void *user, int n) {
    fseek((FILE *)user, n, SEEK_CUR);
}

static int file_ended(void *user) {
    return feof((FILE *)user) || ferror((FILE *)user);
}

int quarn_decode(FILE *file, quarn_image *image, const char **reason, int *out_of_memory) {
    static const stbi_io_callbacks callbacks = {read_file, skip_file, file_ended};
    int channels_in_file;
    memset(image, 0, sizeof *image);
    *reason = NULL;
    *out_of_memory = 0;
    image->pixels = stbi_load_from_callbacks(&callbacks, file, &image->width, &image->height,
                                             &channels_in_file, 4);
    if (image->pixels) return 1;
    *reason = stbi_failure_reason();
    if (!*reason) *reason = "unknown failure";
    *out_of_memory = strcmp(*reason, "outofmem") == 0;
    image->width = image->height = 0;
    return 0;
}

void quarn_image_free(quarn_image *image) {
    stbi_image_free(image->pixels);
    image->pixels = NULL;
}
