// The result type: a native table that Python sees through the buffer
// protocol (flat columns, read-only, without a copy) and the Arrow PyCapsule
// interface. The table's memory belongs to a reference-counted C++ object,
// so whatever was exported from it stays valid after the Table is gone.
#include <cstdlib>
#include <functional>
#include <new>
#include <string>

#include "bindings/columnar/edge.hpp"
#include "bindings/columnar/native.hpp"
#include "paywheel/core/message_text.hpp"
#include "paywheel/core/messages.hpp"

namespace quill::columnar {

namespace pc = paywheel::columnar;
using pc::TablePtr;

PyTypeObject blank_type() {
    PyTypeObject t{};
    t.ob_base.ob_base.ob_refcnt = 1;
    return t;
}

namespace {

// ------------------------------------------------------------ Buffer

struct BufferObject {
    PyObject_HEAD
    TablePtr* owner;
    const void* data;
    Py_ssize_t shape[1];
    Py_ssize_t strides[1];
    const char* format;
    Py_ssize_t itemsize;
};

int buffer_get(PyObject* self, Py_buffer* view, int flags) {
    auto* b = reinterpret_cast<BufferObject*>(self);
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        view->obj = nullptr;
        return edge_status([] { throw Refusal{PyExc_BufferError, paywheel::messages::kReadOnlyColumns}; });
    }
    view->buf = const_cast<void*>(b->data);
    view->obj = Py_NewRef(self);
    view->len = b->shape[0] * b->itemsize;
    view->readonly = 1;
    view->itemsize = b->itemsize;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(b->format) : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) ? b->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? b->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

void buffer_dealloc(PyObject* self) {
    delete reinterpret_cast<BufferObject*>(self)->owner;
    Py_TYPE(self)->tp_free(self);
}

PyBufferProcs g_buffer_procs = {buffer_get, nullptr};

PyTypeObject g_buffer_type = [] {
    PyTypeObject t = blank_type();
    t.tp_name = "quill_harbor_columnar._native.Buffer";
    t.tp_basicsize = sizeof(BufferObject);
    t.tp_dealloc = buffer_dealloc;
    t.tp_as_buffer = &g_buffer_procs;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = "A read-only flat buffer of a native table.";
    return t;
}();

// ------------------------------------------------------------ capsules

constexpr char kSchemaCapsule[] = "arrow_schema";
constexpr char kArrayCapsule[] = "arrow_array";
constexpr char kStreamCapsule[] = "arrow_array_stream";

// The one capsule of each Arrow struct: made by `fill`, released by the
// capsule's destructor if its consumer has not moved it out.
template <typename T, const char* Name>
struct Capsule {
    static void destroy(PyObject* cap) {
        auto* p = static_cast<T*>(PyCapsule_GetPointer(cap, Name));
        if (p == nullptr) {
            PyErr_Clear();
            return;
        }
        try {
            if (p->release != nullptr) p->release(p);
        } catch (...) {
            report_unraisable(cap);
        }
        std::free(p);
    }

    // New reference, or null with an exception set.
    template <class Fill>
    static PyObject* make(Fill&& fill) {
        T* s = nullptr;
        try {
            s = static_cast<T*>(std::malloc(sizeof(T)));
            if (s == nullptr) throw std::bad_alloc();
            s->release = nullptr;
            fill(s);
        } catch (abi::__forced_unwind&) {
            std::free(s);
            throw;
        } catch (...) {
            std::free(s);
            translate_current_exception();
            return nullptr;
        }
        PyObject* cap = PyCapsule_New(s, Name, destroy);
        if (cap == nullptr) {
            if (s->release != nullptr) s->release(s);
            std::free(s);
        }
        return cap;
    }
};

using SchemaCapsule = Capsule<ArrowSchema, kSchemaCapsule>;
using ArrayCapsule = Capsule<ArrowArray, kArrayCapsule>;
using StreamCapsule = Capsule<ArrowArrayStream, kStreamCapsule>;

// ------------------------------------------------------------ Table

struct TableObject {
    PyObject_HEAD
    TablePtr* table;
};

PyTypeObject g_table_type = blank_type();

void table_dealloc(PyObject* self) {
    delete reinterpret_cast<TableObject*>(self)->table;
    Py_TYPE(self)->tp_free(self);
}

const TablePtr& table_of(PyObject* self) { return *reinterpret_cast<TableObject*>(self)->table; }

// requested_schema is accepted, as the interface asks, and not acted on:
// the table has one schema.
bool parse_requested_schema(PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"requested_schema", nullptr};
    PyObject* requested = Py_None;
    return PyArg_ParseTupleAndKeywords(args, kwargs, "|O", const_cast<char**>(kw), &requested) != 0;
}

PyObject* table_schema(PyObject* self, PyObject*) {
    const TablePtr& t = table_of(self);
    return SchemaCapsule::make([&](ArrowSchema* s) { pc::export_schema(*t, s); });
}

PyObject* table_array(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!parse_requested_schema(args, kwargs)) return nullptr;
    const TablePtr& t = table_of(self);
    PyRef schema = PyRef::steal(SchemaCapsule::make([&](ArrowSchema* s) { pc::export_schema(*t, s); }));
    if (!schema) return nullptr;
    PyRef array = PyRef::steal(ArrayCapsule::make([&](ArrowArray* a) { pc::export_array(t, a); }));
    if (!array) return nullptr;
    return PyTuple_Pack(2, schema.get(), array.get());
}

PyObject* table_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!parse_requested_schema(args, kwargs)) return nullptr;
    const TablePtr& t = table_of(self);
    return StreamCapsule::make([&](ArrowArrayStream* s) { pc::export_stream(pc::single_table_source(t), s); });
}

// A read-only memoryview of the named flat buffer.
PyObject* table_column(PyObject* self, PyObject* arg) {
    return edge([&]() -> PyObject* {
        if (!PyUnicode_Check(arg)) throw Refusal{PyExc_TypeError, paywheel::messages::kColumnNameNotStr};
        const char* name = PyUnicode_AsUTF8(arg);
        if (name == nullptr) throw PythonErrorSet{};
        const TablePtr& t = table_of(self);
        std::string names;
        for (const pc::NamedBuffer& nb : t->named) {
            names += (names.empty() ? "" : ", ") + nb.name;
            if (nb.name != name) continue;
            PyRef buf = PyRef::steal(PyType_GenericAlloc(&g_buffer_type, 0));
            if (!buf) return nullptr;
            auto* b = reinterpret_cast<BufferObject*>(buf.get());
            b->owner = new TablePtr(t);
            b->data = nb.data;
            b->shape[0] = static_cast<Py_ssize_t>(nb.count);
            b->strides[0] = static_cast<Py_ssize_t>(nb.itemsize);
            b->format = nb.format;
            b->itemsize = static_cast<Py_ssize_t>(nb.itemsize);
            return PyMemoryView_FromObject(buf.get());
        }
        PyRef shown = PyRef::steal(PyObject_Repr(arg));
        const char* asked = shown ? PyUnicode_AsUTF8(shown.get()) : nullptr;
        if (asked == nullptr) throw PythonErrorSet{};
        throw Refusal{PyExc_KeyError, paywheel::messages::text(paywheel::messages::kNoFlatColumn, asked, names.c_str())};
    });
}

template <class Names>
PyObject* names_list(const Names& items) {
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& item : items) {
        PyRef s = PyRef::steal(PyUnicode_FromString(item.name.c_str()));
        if (!s || PyList_Append(list.get(), s.get()) < 0) return nullptr;
    }
    return list.release();
}

PyObject* table_buffer_names(PyObject* self, void*) { return names_list(table_of(self)->named); }
PyObject* table_column_names(PyObject* self, void*) { return names_list(table_of(self)->columns); }
PyObject* table_num_rows(PyObject* self, void*) { return PyLong_FromLongLong(table_of(self)->rows); }
PyObject* table_nbytes(PyObject* self, void*) { return PyLong_FromSize_t(table_of(self)->nbytes()); }

PyCFunction with_keywords(PyObject* (*f)(PyObject*, PyObject*, PyObject*)) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyMethodDef g_table_methods[] = {
    {"__arrow_c_schema__", table_schema, METH_NOARGS, "The table's Arrow schema (a struct) in a PyCapsule."},
    {"__arrow_c_array__", with_keywords(table_array), METH_VARARGS | METH_KEYWORDS,
     "The table as one Arrow struct array: (schema capsule, array capsule)."},
    {"__arrow_c_stream__", with_keywords(table_stream), METH_VARARGS | METH_KEYWORDS,
     "The table as an Arrow C stream of one batch, in a PyCapsule."},
    {"column", table_column, METH_O, "column(name) -> memoryview: a read-only flat buffer, without a copy."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef g_table_getset[] = {
    {"buffer_names", table_buffer_names, nullptr, "Names column() accepts.", nullptr},
    {"column_names", table_column_names, nullptr, "Names of the Arrow columns.", nullptr},
    {"num_rows", table_num_rows, nullptr, "Rows of the Arrow table.", nullptr},
    {"nbytes", table_nbytes, nullptr, "Bytes of memory the table holds.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

PyObject* wrap_table(TablePtr t) {
    PyRef obj = PyRef::steal(PyType_GenericAlloc(&g_table_type, 0));
    if (!obj) return nullptr;
    reinterpret_cast<TableObject*>(obj.get())->table = new TablePtr(std::move(t));
    return obj.release();
}

PyObject* schema_capsule(const std::function<void(ArrowSchema*)>& fill) { return SchemaCapsule::make(fill); }

PyObject* stream_capsule(std::unique_ptr<pc::TableSource> source) {
    return StreamCapsule::make([&](ArrowArrayStream* s) { pc::export_stream(std::move(source), s); });
}

bool register_result_types(PyObject* module) {
    PyTypeObject& table = g_table_type;
    table.tp_name = "quill_harbor_columnar._native.Table";
    table.tp_basicsize = sizeof(TableObject);
    table.tp_dealloc = table_dealloc;
    table.tp_flags = Py_TPFLAGS_DEFAULT;
    table.tp_doc = "A native columnar table: Arrow PyCapsule interface and read-only flat buffers.";
    table.tp_methods = g_table_methods;
    table.tp_getset = g_table_getset;
    if (PyType_Ready(&table) < 0 || PyType_Ready(&g_buffer_type) < 0) return false;
    if (PyModule_AddObjectRef(module, "Table", reinterpret_cast<PyObject*>(&table)) < 0) return false;
    return true;
}

}  // namespace quill::columnar
