// The module entry: version gate (PYBIND11_MODULE), docstring and bindings.
#include <pybind11/pybind11.h>

#include "edges/sobel.h"
#include "image/readimg.h"

PYBIND11_MODULE(quarn, m) {
    m.doc() = "just a simple cv lib on cuda";
    m.def("readimg", &quarn::readimg);
    m.def("sobel", &quarn::sobel);
}
