// The module entry: version gate (PYBIND11_MODULE), docstring and bindings.
#include <pybind11/pybind11.h>

#include "edges/sobel.h"
#include "image/readimg.h"

namespace {

void define(pybind11::module_ &m) {
    m.doc() = "just a simple cv lib on cuda";
    m.def("readimg", &quarn::readimg);
    m.def("sobel", &quarn::sobel);
}

}  // namespace

// The module keeps no state, and a call shares nothing with another but what
// each is given, so a free-threaded interpreter (3.13t) may leave the lock
// off on import; pybind11 can say so from 2.13 on.
#if PYBIND11_VERSION_MAJOR > 2 || (PYBIND11_VERSION_MAJOR == 2 && PYBIND11_VERSION_MINOR >= 13)
PYBIND11_MODULE(quarn, m, pybind11::mod_gil_not_used()) { define(m); }
#else
PYBIND11_MODULE(quarn, m) { define(m); }
#endif
