// readimg's argument: a file path, kept as the caller gave it.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace quarn {

// A path as readimg receives it.
//  given: the caller's object (a str or bytes), or None;
//  bytes: its bytes, UTF-8 encoded for a str, NUL bytes included.
struct path_argument {
    pybind11::object given;
    std::string bytes;
};

}  // namespace quarn

namespace pybind11 {
namespace detail {

// Accepts None, a str that encodes as UTF-8, or bytes, under the signature of
// the char const* conversion; anything else (a bytearray too) raises
// pybind11's TypeError. Unlike that conversion it keeps the bytes after a NUL.
template <>
struct type_caster<quarn::path_argument> {
    PYBIND11_TYPE_CASTER(quarn::path_argument, make_caster<const char *>::name);

    bool load(handle source, bool convert) {
        if (source.is_none()) {
            value.given = reinterpret_borrow<object>(source);
            return convert;
        }
        if (!PyUnicode_Check(source.ptr()) && !PyBytes_Check(source.ptr())) return false;
        make_caster<std::string> text;
        if (!text.load(source, convert)) return false;
        value.given = reinterpret_borrow<object>(source);
        value.bytes = cast_op<std::string &&>(std::move(text));
        return true;
    }
};

}  // namespace detail
}  // namespace pybind11
