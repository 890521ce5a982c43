// Native tables handed out through the Arrow C data and stream interfaces.
// A table's memory belongs to a plain C++ object shared by reference count
// among everything exported from it, so the last release, on whatever thread
// it happens and with or without the interpreter, frees it without touching
// Python.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "paywheel/columnar/arrow_abi.hpp"
#include "paywheel/columnar/region.hpp"

namespace paywheel::columnar {

// One Arrow array (a column or part of one), pointing into memory its table
// owns.
struct ArrowColumn {
    std::string format;
    std::string name;
    std::int64_t length = 0;
    std::int64_t null_count = 0;
    std::vector<const void*> buffers;
    std::vector<ArrowColumn> children;
    std::shared_ptr<ArrowColumn> dictionary;
};

// A flat buffer a table hands out by name through the buffer protocol.
struct NamedBuffer {
    std::string name;
    const void* data;
    std::int64_t count;
    const char* format;  // struct-module format of one item
    std::int64_t itemsize;
};

struct TableData {
    std::int64_t rows = 0;
    std::vector<NamedBuffer> named;
    std::vector<ArrowColumn> columns;
    // Everything the columns point into.
    std::vector<Region> regions;
    // Computed columns taken over whole, without a copy; freed with the table.
    std::vector<std::shared_ptr<const void>> adopted;
    std::size_t adopted_bytes = 0;

    TableData() = default;
    TableData(const TableData&) = delete;
    TableData& operator=(const TableData&) = delete;
    // Frees what it adopted, then hands those pages back to the system.
    ~TableData();

    // Keeps a region and returns its address.
    template <typename T>
    T* keep(Region r) {
        regions.push_back(std::move(r));
        return regions.back().as<T>();
    }
    // Takes `values` over and returns its address (non-null even when empty:
    // Arrow consumers may read a data pointer of an empty column).
    template <typename T>
    const T* adopt(std::vector<T>&& values) {
        if (values.empty()) return keep<T>(Region::allocate(0));
        auto owned = std::make_shared<const std::vector<T>>(std::move(values));
        const T* data = owned->data();
        adopted_bytes += owned->size() * sizeof(T);
        adopted.push_back(std::move(owned));
        return data;
    }
    std::size_t nbytes() const noexcept;
};

using TablePtr = std::shared_ptr<const TableData>;

// Column builders. Each takes regions into the table and returns the column.
ArrowColumn fixed_column(std::string name, const char* format, std::int64_t length, const void* data);
// Which Arrow text type a column gets: utf8 ("u") while its characters fit
// 32-bit offsets and large utf8 ("U") past that, or always utf8 (a stream's
// batches keep the type its schema announced; past 2^31 - 1 characters the
// column is refused with TooLarge), or always large utf8.
enum class TextWidth { Auto, Utf8, LargeUtf8 };

// A text column of the given strings; nulls where `present` is false (may
// be empty: no nulls).
ArrowColumn text_column(TableData& table, std::string name, const std::vector<std::string_view>& texts,
                        const std::vector<bool>& present, TextWidth width = TextWidth::Auto);

// Fill `out` (which the caller owns) with the table's schema, as a struct.
void export_schema(const TableData& table, ArrowSchema* out);
// Fill `out` with the table as one struct array; it holds a reference.
void export_array(const TablePtr& table, ArrowArray* out);

// A source of tables for a stream. next() returns nullptr at the end, or
// throws; the stream's edge turns any exception into an error code and the
// stream's last error, so nothing escapes into the consumer.
class TableSource {
public:
    virtual ~TableSource() = default;
    virtual void schema(ArrowSchema* out) = 0;
    virtual TablePtr next() = 0;
};
// Fills `out` with a stream over the source, which it then owns.
void export_stream(std::unique_ptr<TableSource> source, ArrowArrayStream* out);

// A one-table source.
std::unique_ptr<TableSource> single_table_source(TablePtr table);

}  // namespace paywheel::columnar
