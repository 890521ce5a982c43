#include "paywheel/columnar/arrow_export.hpp"

#include "paywheel/columnar/failure.hpp"
#include "paywheel/core/messages.hpp"

#include <cxxabi.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <string_view>
#include <utility>

namespace paywheel::columnar {

TableData::~TableData() {
    adopted.clear();
    give_back_free_pages(adopted_bytes);
}

std::size_t TableData::nbytes() const noexcept {
    std::size_t n = 0;
    for (const Region& r : regions) n += r.bytes();
    return n + adopted_bytes;
}

ArrowColumn fixed_column(std::string name, const char* format, std::int64_t length, const void* data) {
    ArrowColumn c;
    c.format = format;
    c.name = std::move(name);
    c.length = length;
    c.buffers = {nullptr, data};
    return c;
}

ArrowColumn text_column(TableData& table, std::string name, const std::vector<std::string_view>& texts,
                        const std::vector<bool>& present, TextWidth width) {
    std::size_t chars = 0;
    for (std::string_view t : texts) chars += t.size();
    const std::size_t n = texts.size();
    const bool past_32_bits = chars > static_cast<std::size_t>(INT32_MAX);
    if (past_32_bits && width == TextWidth::Utf8)
        throw TooLarge(chars, static_cast<std::size_t>(INT32_MAX), messages::kIdsPastUtf8);
    const bool large = width == TextWidth::LargeUtf8 || (width == TextWidth::Auto && past_32_bits);
    Region offsets = Region::allocate((n + 1) * (large ? 8 : 4));
    Region data = Region::allocate(chars);
    char* dst = data.as<char>();
    std::size_t pos = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (large)
            offsets.as<std::int64_t>()[i] = static_cast<std::int64_t>(pos);
        else
            offsets.as<std::int32_t>()[i] = static_cast<std::int32_t>(pos);
        if (!texts[i].empty()) std::memcpy(dst + pos, texts[i].data(), texts[i].size());
        pos += texts[i].size();
    }
    if (large)
        offsets.as<std::int64_t>()[n] = static_cast<std::int64_t>(pos);
    else
        offsets.as<std::int32_t>()[n] = static_cast<std::int32_t>(pos);

    ArrowColumn c;
    c.format = std::string(1, large ? 'U' : 'u');
    c.name = std::move(name);
    c.length = static_cast<std::int64_t>(n);
    const void* validity = nullptr;
    if (!present.empty()) {
        Region bits = Region::allocate((n + 7) / 8);
        for (std::size_t i = 0; i < n; ++i) {
            if (present[i])
                bits.as<std::uint8_t>()[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
            else
                ++c.null_count;
        }
        validity = table.keep<void>(std::move(bits));
    }
    const void* off = table.keep<void>(std::move(offsets));
    const void* chr = table.keep<void>(std::move(data));
    c.buffers = {validity, off, chr};
    return c;
}

// ---------------------------------------------------------------- schema

namespace {

struct SchemaPrivate {
    std::string format, name;
    std::vector<ArrowSchema*> children;
    ArrowSchema* dictionary = nullptr;
};

void release_schema(ArrowSchema* s) {
    if (s == nullptr || s->release == nullptr) return;
    auto* p = static_cast<SchemaPrivate*>(s->private_data);
    for (ArrowSchema* c : p->children) {
        if (c->release != nullptr) c->release(c);
        delete c;
    }
    if (p->dictionary != nullptr) {
        if (p->dictionary->release != nullptr) p->dictionary->release(p->dictionary);
        delete p->dictionary;
    }
    delete p;
    s->release = nullptr;
}

void fill_schema(ArrowSchema* out, const std::string& format, const std::string& name,
                 const std::vector<const ArrowColumn*>& children, const ArrowColumn* dictionary, std::int64_t flags) {
    auto p = std::make_unique<SchemaPrivate>();
    p->format = format;
    p->name = name;
    p->children.reserve(children.size());
    try {
        for (const ArrowColumn* c : children) {
            auto child = std::make_unique<ArrowSchema>();
            std::vector<const ArrowColumn*> grand;
            for (const ArrowColumn& g : c->children) grand.push_back(&g);
            // A dictionary column's own format is its index type; the
            // values' format is the dictionary's.
            fill_schema(child.get(), c->format, c->name, grand, c->dictionary.get(), ARROW_FLAG_NULLABLE);
            p->children.push_back(child.release());
        }
        if (dictionary != nullptr) {
            auto d = std::make_unique<ArrowSchema>();
            fill_schema(d.get(), dictionary->format, "", {}, nullptr, ARROW_FLAG_NULLABLE);
            p->dictionary = d.release();
        }
    } catch (...) {
        ArrowSchema tmp{};
        tmp.private_data = p.release();
        tmp.release = release_schema;
        release_schema(&tmp);
        throw;
    }
    out->format = p->format.c_str();
    out->name = p->name.c_str();
    out->metadata = nullptr;
    out->flags = flags;
    out->n_children = static_cast<std::int64_t>(p->children.size());
    out->children = p->children.empty() ? nullptr : p->children.data();
    out->dictionary = p->dictionary;
    out->release = release_schema;
    out->private_data = p.release();
}

// ---------------------------------------------------------------- array

struct ArrayPrivate {
    TablePtr owner;  // keeps every buffer alive
    std::vector<const void*> buffers;
    std::vector<ArrowArray*> children;
    ArrowArray* dictionary = nullptr;
};

void release_array(ArrowArray* a) {
    if (a == nullptr || a->release == nullptr) return;
    auto* p = static_cast<ArrayPrivate*>(a->private_data);
    for (ArrowArray* c : p->children) {
        if (c->release != nullptr) c->release(c);
        delete c;
    }
    if (p->dictionary != nullptr) {
        if (p->dictionary->release != nullptr) p->dictionary->release(p->dictionary);
        delete p->dictionary;
    }
    delete p;  // may drop the last reference: frees the table's memory
    a->release = nullptr;
}

void fill_array(ArrowArray* out, const TablePtr& owner, std::int64_t length, std::int64_t null_count,
                const std::vector<const void*>& buffers, const std::vector<const ArrowColumn*>& children,
                const ArrowColumn* dictionary) {
    auto p = std::make_unique<ArrayPrivate>();
    p->owner = owner;
    p->buffers = buffers;
    try {
        for (const ArrowColumn* c : children) {
            auto child = std::make_unique<ArrowArray>();
            std::vector<const ArrowColumn*> grand;
            for (const ArrowColumn& g : c->children) grand.push_back(&g);
            fill_array(child.get(), owner, c->length, c->null_count, c->buffers, grand, c->dictionary.get());
            p->children.push_back(child.release());
        }
        if (dictionary != nullptr) {
            auto d = std::make_unique<ArrowArray>();
            fill_array(d.get(), owner, dictionary->length, dictionary->null_count, dictionary->buffers, {}, nullptr);
            p->dictionary = d.release();
        }
    } catch (...) {
        ArrowArray tmp{};
        tmp.private_data = p.release();
        tmp.release = release_array;
        release_array(&tmp);
        throw;
    }
    out->length = length;
    out->null_count = null_count;
    out->offset = 0;
    out->n_buffers = static_cast<std::int64_t>(p->buffers.size());
    out->buffers = p->buffers.data();
    out->n_children = static_cast<std::int64_t>(p->children.size());
    out->children = p->children.empty() ? nullptr : p->children.data();
    out->dictionary = p->dictionary;
    out->release = release_array;
    out->private_data = p.release();
}

std::vector<const ArrowColumn*> column_pointers(const TableData& t) {
    std::vector<const ArrowColumn*> v;
    for (const ArrowColumn& c : t.columns) v.push_back(&c);
    return v;
}

}  // namespace

void export_schema(const TableData& table, ArrowSchema* out) {
    fill_schema(out, "+s", "", column_pointers(table), nullptr, 0);
}

void export_array(const TablePtr& table, ArrowArray* out) {
    fill_array(out, table, table->rows, 0, {nullptr}, column_pointers(*table), nullptr);
}

// ---------------------------------------------------------------- stream

namespace {

struct StreamPrivate {
    std::unique_ptr<TableSource> source;
    std::string last_error;
};

// The stream's C edge: whatever the source throws becomes an error code and
// the last error; nothing unwinds into the consumer.
int fail_stream(StreamPrivate* p) noexcept {
    int code = EINVAL;
    const char* text = messages::kUnexpectedNative;
    try {
        throw;
    } catch (const std::bad_alloc&) {
        code = ENOMEM;
        text = messages::kOutOfMemory;
    } catch (const ColumnarError& e) {
        code = e.kind() == CallFailure::Cancelled ? EINTR : (e.kind() == CallFailure::TooLarge ? ENOMEM : EINVAL);
        text = e.what();
    } catch (const std::exception& e) {
        text = e.what();
    } catch (...) {
    }
    try {
        p->last_error = text;
    } catch (...) {
        p->last_error.clear();
    }
    return code;
}

int stream_get_schema(ArrowArrayStream* s, ArrowSchema* out) {
    auto* p = static_cast<StreamPrivate*>(s->private_data);
    try {
        p->source->schema(out);
        return 0;
    } catch (abi::__forced_unwind&) {
        throw;  // the thread is being ended: let it go
    } catch (...) {
        return fail_stream(p);
    }
}

int stream_get_next(ArrowArrayStream* s, ArrowArray* out) {
    auto* p = static_cast<StreamPrivate*>(s->private_data);
    try {
        TablePtr t = p->source->next();
        if (!t) {
            // End of stream: a released array.
            std::memset(out, 0, sizeof *out);
            out->release = nullptr;
            return 0;
        }
        export_array(t, out);
        return 0;
    } catch (abi::__forced_unwind&) {
        throw;  // the thread is being ended: let it go
    } catch (...) {
        return fail_stream(p);
    }
}

const char* stream_last_error(ArrowArrayStream* s) {
    auto* p = static_cast<StreamPrivate*>(s->private_data);
    return p->last_error.empty() ? nullptr : p->last_error.c_str();
}

void stream_release(ArrowArrayStream* s) {
    if (s == nullptr || s->release == nullptr) return;
    delete static_cast<StreamPrivate*>(s->private_data);
    s->release = nullptr;
}

class SingleTable : public TableSource {
public:
    explicit SingleTable(TablePtr t) : table_(std::move(t)) {}
    void schema(ArrowSchema* out) override { export_schema(*table_, out); }
    TablePtr next() override { return std::exchange(table_done_, true) ? nullptr : table_; }

private:
    TablePtr table_;
    bool table_done_ = false;
};

}  // namespace

void export_stream(std::unique_ptr<TableSource> source, ArrowArrayStream* out) {
    auto p = std::make_unique<StreamPrivate>();
    p->source = std::move(source);
    out->get_schema = stream_get_schema;
    out->get_next = stream_get_next;
    out->get_last_error = stream_last_error;
    out->release = stream_release;
    out->private_data = p.release();
}

std::unique_ptr<TableSource> single_table_source(TablePtr table) { return std::make_unique<SingleTable>(std::move(table)); }

}  // namespace paywheel::columnar
