// Loan books from the Arrow C data and stream interfaces. A schema is parsed
// once into an ArrowLayout (which child holds which field, and how to read
// it); each array is then checked against that layout (buffer and child
// counts, lengths, offsets) before a single value is read. Problems come
// back as a kind and a message, never as an exception of the interpreter.
#pragma once

#include <cstdint>
#include <string>

#include "paywheel/columnar/arrow_abi.hpp"
#include "paywheel/columnar/decode.hpp"
#include "paywheel/columnar/failure.hpp"

namespace paywheel::columnar {

// Why an Arrow input cannot be read: BadType (a type this layer cannot
// read) or BadInput (a missing column, a malformed array).
struct ImportProblem {
    CallFailure kind = CallFailure::BadInput;
    std::string message;
};

// Where an Arrow stream's columns sit among the struct's children, and how
// to read each.
struct ArrowLayout {
    int child[kFieldCount];  // -1: absent
    Kind kind[kFieldCount];
    // The optional shape columns: io_pers and amort_pers, then rate_steps,
    // a list (large: int64 offsets) of structs whose children per and rate
    // sit at steps_per and steps_rate. -1: absent.
    int shape_child[3] = {-1, -1, -1};
    Kind shape_kind[3] = {Kind::Absent, Kind::Absent, Kind::Absent};
    // The book as it stands: age and balance, bound where their type reads
    // (-1: absent or not bound).
    int age_child = -1, balance_child = -1;
    Kind age_kind = Kind::Absent, balance_kind = Kind::Absent;
    int steps_child = -1;
    bool steps_null = false;   // every list null
    bool steps_large = false;
    int steps_per = -1, steps_rate = -1;
    Kind per_kind = Kind::Absent, rate_kind = Kind::Absent;
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
    // Drops the stream without releasing it: for a process that is ending,
    // where the producer's release may no longer run.
    void forget() noexcept { s_.release = nullptr; }

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
    // As ArrowStreamHandle::forget.
    void forget() noexcept { a_.release = nullptr; }

private:
    ArrowArray a_;
};

class ArrowSchemaHandle {
public:
    ArrowSchemaHandle() noexcept { s_.release = nullptr; }
    ~ArrowSchemaHandle() {
        if (s_.release != nullptr) s_.release(&s_);
    }
    ArrowSchemaHandle(const ArrowSchemaHandle&) = delete;
    ArrowSchemaHandle& operator=(const ArrowSchemaHandle&) = delete;
    ArrowSchema* get() noexcept { return &s_; }

private:
    ArrowSchema s_;
};

// Which kinds each field accepts; `found` names what was found. The same
// rule for buffers, lists and Arrow.
bool check_kind(Field f, Kind k, const std::string& found, ImportProblem& why);

// The schema of a struct (a table, a record batch or a struct array).
bool layout_from_schema(const ArrowSchema& schema, ArrowLayout& layout, ImportProblem& why);

// The rows [start, start + rows) of one struct array as an InputBatch (views
// into the array's buffers), after checking the array against the layout.
// A null row of the struct, and a null value of a field, become the rows'
// null failures when they are decoded.
bool batch_from_arrow(const ArrowLayout& layout, const ArrowArray& array, std::int64_t start, std::int64_t rows,
                      InputBatch& out, ImportProblem& why);

// The text an Arrow stream failure is reported with: the producer's last
// error, if it gave one.
std::string stream_failure_text(ArrowArrayStream* s, int code);

}  // namespace paywheel::columnar
