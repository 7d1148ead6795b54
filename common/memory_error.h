// An allocation we refuse or that fails outside operator new. Derives from
// std::bad_alloc so that pybind11 raises MemoryError with this message.
#pragma once

#include <new>
#include <string>

namespace quarn {

class memory_error : public std::bad_alloc {
public:
    explicit memory_error(std::string message) : message_(std::move(message)) {}
    const char *what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

}  // namespace quarn
