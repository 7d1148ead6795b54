/* stb_image alone, built like quarn's own decoder (same header, default
 * settings, -O3): the bench calls its stbi_load and stbi_image_free through
 * ctypes to time the decode that quarn.readimg wraps. */
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>
