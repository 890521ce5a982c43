// A book from a mapping of column name to column (a list, a NumPy array,
// any object with the buffer protocol), as read_book reads a dict.
#pragma once

#include <memory>
#include <string>

#include "bindings/columnar/input.hpp"

namespace quill::columnar {

[[noreturn]] inline void fail(paywheel::columnar::CallFailure kind, std::string message) {
    throw paywheel::columnar::ColumnarError(kind, std::move(message));
}

std::unique_ptr<Book> book_from_mapping(PyObject* mapping);

}  // namespace quill::columnar
