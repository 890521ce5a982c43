// Loan books from Python objects into plain column views: a mapping of
// column name to a buffer (NumPy array) or list, or an Arrow C stream. Every
// check that can fail on the input runs here, with the interpreter lock
// held, before any computing.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "lib/columnar/arrow_abi.hpp"
#include "lib/pyref.hpp"
#include "paywheel/batch/columnar_input.hpp"

namespace quill::columnar {

// A Python exception to raise: the type (borrowed, a builtin) and the text.
struct PyFailure {
    PyObject* type;
    std::string message;
};

// Where an Arrow stream's columns sit among the struct's children, and how
// to read each.
struct ArrowLayout {
    int child[paywheel::columnar::kFieldCount];  // -1: absent
    paywheel::columnar::Kind kind[paywheel::columnar::kFieldCount];
};

// An imported Arrow stream, released when this goes away (on any thread:
// releasing is the producer's business).
class ArrowStreamHandle {
public:
    explicit ArrowStreamHandle(ArrowArrayStream s) noexcept : s_(s) {}
    ~ArrowStreamHandle() {
        if (s_.release != nullptr) s_.release(&s_);
    }
    ArrowStreamHandle(const ArrowStreamHandle&) = delete;
    ArrowStreamHandle& operator=(const ArrowStreamHandle&) = delete;
    ArrowArrayStream* get() noexcept { return &s_; }

private:
    ArrowArrayStream s_;
};

class ArrowArrayHandle {
public:
    ArrowArrayHandle() noexcept { a_.release = nullptr; }
    ~ArrowArrayHandle() {
        if (a_.release != nullptr) a_.release(&a_);
    }
    ArrowArrayHandle(const ArrowArrayHandle&) = delete;
    ArrowArrayHandle& operator=(const ArrowArrayHandle&) = delete;
    ArrowArray* get() noexcept { return &a_; }

private:
    ArrowArray a_;
};

// Reads the schema of a stream's struct into an ArrowLayout; throws
// PyFailure for a missing column or a type this module cannot read.
ArrowLayout layout_from_schema(const ArrowSchema& schema);

// The rows [start, start + rows) of one struct array as an InputBatch
// (views into the array's buffers). Throws PyFailure on a null in a required
// column, naming the row as row_base + its index.
paywheel::columnar::InputBatch batch_from_arrow(const ArrowLayout& layout, const ArrowArray& array, std::int64_t start,
                                                std::int64_t rows, std::int64_t row_base);

// Everything one call reads: batches and what keeps their memory alive.
class Book {
public:
    Book() = default;
    Book(const Book&) = delete;
    Book& operator=(const Book&) = delete;
    ~Book();

    std::vector<paywheel::columnar::InputBatch> batches;
    bool has_id = false;
    std::int64_t rows() const noexcept;
    // The id text of a row of the book (empty view when there are no ids).
    std::string_view id(std::int64_t row) const noexcept;

    // Keep-alives.
    std::vector<Py_buffer> views;                 // released with the lock
    std::vector<std::vector<char>> owned;         // converted lists
    std::vector<std::unique_ptr<ArrowArrayHandle>> arrays;
    std::unique_ptr<ArrowStreamHandle> stream;
    std::unique_ptr<ArrowSchema> schema;  // released in the destructor
};

// Releases the buffer views of books freed on threads without the lock;
// call with the lock held.
void release_pending_views();

// A mapping (dict) of column name to column. Throws PyFailure.
std::unique_ptr<Book> book_from_mapping(PyObject* mapping);
// A PyCapsule "arrow_array_stream", read whole. Throws PyFailure.
std::unique_ptr<Book> book_from_stream_capsule(PyObject* capsule);
// A (schema capsule, array capsule) pair from __arrow_c_array__.
std::unique_ptr<Book> book_from_array_capsules(PyObject* schema_capsule, PyObject* array_capsule);

// For streaming: takes the stream out of its capsule and reads its layout,
// leaving the batches to be pulled later.
std::unique_ptr<ArrowStreamHandle> take_stream(PyObject* capsule, ArrowLayout& layout, bool& has_id);

}  // namespace quill::columnar
