#include "image/readimg.h"

#include "image/decode.h"
#include "image/read_once.h"
#include "common/avx2_clones.h"
#include "common/prefault.h"
#include "common/to_ndarray.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace py = pybind11;

namespace quarn {
namespace {

// The path as a str for messages: bytes decoded like os.fsdecode.
py::object decoded_name(const char *path) {
    PyObject *name = PyUnicode_DecodeFSDefault(path);
    if (!name) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(name);
}

// `type` (ValueError or MemoryError) naming the file and why it did not decode.
[[noreturn]] void raise_undecodable(PyObject *type, const path_argument &path,
                                    const std::string &reason) {
    py::str message = py::str("cannot decode image file {!r}: {}")
                          .format(decoded_name(path.bytes.c_str()), reason);
    PyErr_SetObject(type, message.ptr());
    throw py::error_already_set();
}

// OSError with `filename` as open() gives it: the very str or bytes passed.
[[noreturn]] void raise_os_error(int error, const char *message, const path_argument &path) {
    PyObject *type = PyExc_OSError;
    py::object exception = py::reinterpret_borrow<py::object>(type)(
        error, message ? py::str(message) : py::str(std::strerror(error)), path.given);
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exception.ptr())), exception.ptr());
    throw py::error_already_set();
}

struct file_closer {
    void operator()(FILE *file) const { std::fclose(file); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// Why a file did not open: errno, and a message where strerror's is not the
// one; `size`, the file's, where room for it could not be had (ENOMEM).
struct open_failure {
    int error = 0;
    const char *message = nullptr;
    long long size = 0;
};

// Opens a regular file for reading, each byte read from it once (see
// read_once.h), so the checks and the decode see the same bytes however the
// file changes meanwhile. O_NONBLOCK keeps a FIFO without a writer from
// blocking the open; such files are then refused. Touches no Python object:
// runs without the interpreter lock. Returns null and fills `failure` when
// the file does not open.
file_ptr open_regular_file(const char *path, open_failure &failure) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        failure.error = errno;
        return nullptr;
    }
    struct stat status;
    if (::fstat(fd, &status) != 0) {
        failure.error = errno;
    } else if (S_ISDIR(status.st_mode)) {
        failure.error = EISDIR;
    } else if (!S_ISREG(status.st_mode)) {
        failure.error = EINVAL;
        failure.message = "Not a regular file";
    }
    if (!failure.error) failure.size = status.st_size;
    FILE *file = failure.error ? nullptr : quarn_open_read_once(fd, status.st_size);
    if (!file) {
        if (!failure.error) failure.error = errno;
        ::close(fd);
    }
    return file_ptr(file);
}

[[noreturn]] void raise_open_failure(const open_failure &failure, const path_argument &path) {
    if (failure.error == ENOMEM) {
        raise_undecodable(PyExc_MemoryError, path,
                          "out of memory (for room for its " + std::to_string(failure.size) +
                              " bytes)");
    }
    raise_os_error(failure.error, failure.message, path);
}

// RGBA pixels into blue, green and red int64 planes, one after the other.
// Locals and restrict let the compiler vectorise the loop.
QUARN_AVX2_CLONES
void split_planes(const unsigned char *__restrict pixels, py::ssize_t count,
                  int64_t *__restrict out) {
    int64_t *__restrict blue = out;
    int64_t *__restrict green = out + count;
    int64_t *__restrict red = out + 2 * count;
    for (py::ssize_t i = 0; i < count; ++i) {
        blue[i] = pixels[4 * i + 2];
        green[i] = pixels[4 * i + 1];
        red[i] = pixels[4 * i];
    }
}

struct image_releaser {
    void operator()(quarn_image *image) const { quarn_image_free(image); }
};

}  // namespace

py::array readimg(const path_argument &path) {
    if (path.given.is_none()) throw py::type_error("readimg() path must be str or bytes, not None");
    // As open(): a NUL would end the name the system sees, so another file opens.
    if (path.bytes.find('\0') != std::string::npos) throw py::value_error("embedded null byte");

    // The open, the reads and the decode touch no Python object: other
    // threads run meanwhile. Their failures come out as plain data, raised
    // once the lock is back.
    open_failure failure;
    quarn_image image;
    quarn_decode_error error;
    bool decoded = false;
    {
        py::gil_scoped_release unlocked;
        file_ptr file = open_regular_file(path.bytes.c_str(), failure);
        if (file) decoded = quarn_decode(file.get(), &image, &error);
    }
    if (failure.error) raise_open_failure(failure, path);
    if (!decoded) {
        raise_undecodable(error.out_of_memory ? PyExc_MemoryError : PyExc_ValueError, path,
                          error.reason);
    }
    std::unique_ptr<quarn_image, image_releaser> owner(&image);

    const py::ssize_t height = image.height, width = image.width;
    return to_ndarray({3, height, width}, [&image, height, width](int64_t *out) {
        py::gil_scoped_release unlocked;
        const std::size_t bytes = 3 * sizeof(int64_t) * height * width;
        if (bytes >= always_fresh_bytes) prefault(out, bytes);
        split_planes(image.pixels, height * width, out);
    });
}

}  // namespace quarn
