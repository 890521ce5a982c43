// Loan books from Python objects into plain column views: a mapping of
// column name to a buffer (NumPy array) or list, an Arrow C stream or array
// capsule, or a reader whose batches are pulled through Python. Everything
// that touches Python runs here, with the lock held, before any computing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings/pyref.hpp"
#include "paywheel/columnar/arrow_import.hpp"
#include "paywheel/columnar/decode.hpp"

namespace quill::columnar {

// A buffer view held for the length of a call and released, with the lock
// held, when it goes away.
class HeldBuffer {
public:
    HeldBuffer() noexcept = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    HeldBuffer(HeldBuffer&& o) noexcept : view_(o.view_), held_(std::exchange(o.held_, false)) {}
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // A 1-D contiguous buffer of `count` items (any number when negative) of
    // `itemsize` bytes whose format is one of `formats`; None gives an empty
    // holder. Throws ColumnarError.
    static HeldBuffer of(PyObject* obj, const char* what, std::size_t itemsize, std::string_view formats,
                         std::int64_t count);

    template <typename T>
    const T* data() const noexcept {
        return held_ ? static_cast<const T*>(view_.buf) : nullptr;
    }
    std::int64_t count() const noexcept { return held_ ? view_.len / view_.itemsize : 0; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

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

    // Keep-alives.
    std::vector<Py_buffer> views;          // released with the lock
    std::vector<std::vector<char>> owned;  // converted lists
    std::vector<std::unique_ptr<paywheel::columnar::ArrowArrayHandle>> arrays;
    std::unique_ptr<paywheel::columnar::ArrowStreamHandle> stream;
};

// Releases the buffer views of books freed on threads without the lock;
// call with the lock held.
void release_pending_views();

// A call's periods_per_year: 1 to 366, refused otherwise.
void check_periods_per_year(long long periods_per_year);

// Reads `source` whole: a dict of columns, a PyCapsule "arrow_array_stream",
// a (schema, array) capsule pair, or an object with read_next_batch() (a
// reader backed by Python: its exceptions come through as they are).
// strict: the call's strict=, kept with every batch (InputBatch::strict),
// as its periods_per_year is (InputBatch::periods_per_year); cents: its
// precision="cent" (InputBatch::cents).
std::unique_ptr<Book> read_book(PyObject* source, bool strict = true, bool cents = false,
                                long long periods_per_year = 12);

// Where a stream's batches come from: a book read whole (a dict), an Arrow
// C stream, or a Python reader. next() gives the next batch as views and
// keeps it alive until the following call; false at the end.
class BatchSource {
public:
    virtual ~BatchSource() = default;
    virtual bool has_id() const noexcept = 0;
    // A payments_per_year column: rows then carry their calendar period.
    virtual bool has_own_periods() const noexcept = 0;
    // Called with or without the lock; takes it when it needs Python.
    virtual bool next(paywheel::columnar::InputBatch& out) = 0;
};

std::unique_ptr<BatchSource> batch_source(PyObject* source);

// Thrown by a source whose Python producer raised KeyboardInterrupt: the
// interrupt has been handed back to the thread's Python code, and the
// stream ends as it does when Ctrl-C stops a batch.
struct StreamInterrupted {};

// Throws the ImportProblem as the layer's error (BadType or BadInput).
[[noreturn]] void throw_problem(const paywheel::columnar::ImportProblem& why);

}  // namespace quill::columnar
