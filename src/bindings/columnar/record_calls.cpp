// read_fields(): the wanted fields of a block of text records as a native
// table, or None when the block is not clean (the Python reader then reads
// it the general way). The block is read with the lock released.
#include <string>
#include <vector>

#include "bindings/columnar/edge.hpp"
#include "bindings/columnar/input.hpp"
#include "bindings/columnar/native.hpp"
#include "paywheel/columnar/failure.hpp"
#include "paywheel/columnar/record_table.hpp"
#include "paywheel/core/messages.hpp"

namespace quill::columnar {

namespace pc = paywheel::columnar;
namespace pb = paywheel::batch;

PyObject* py_read_fields(PyObject*, PyObject* args) {
    PyObject* data = nullptr;
    int delimiter = 0;
    Py_ssize_t field_count = 0;
    PyObject* fields = nullptr;
    long long threads = 0;
    if (!PyArg_ParseTuple(args, "OCnOL", &data, &delimiter, &field_count, &fields, &threads)) return nullptr;
    return edge([&]() -> PyObject* {
        const std::size_t n_threads = resolve_threads(threads);
        if (delimiter <= 0 || delimiter > 0x7f || delimiter == '\n' || delimiter == '\r')
            throw pc::ColumnarError(pc::CallFailure::BadInput, paywheel::messages::kRecordDelimiter);
        if (field_count < 1) throw pc::ColumnarError(pc::CallFailure::BadInput, paywheel::messages::kRecordFieldSpec);
        const HeldBuffer block = HeldBuffer::of(data, "data", 1, "Bbc", -1);
        PyRef seq = PyRef::steal(PySequence_Fast(fields, paywheel::messages::kRecordFieldSpec));
        if (!seq) throw PythonErrorSet{};
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        std::vector<pb::WantedField> wanted;
        std::vector<std::string> names;
        for (Py_ssize_t i = 0; i < n; ++i) {
            const char* name = nullptr;
            Py_ssize_t index = 0;
            int kind = 0;
            if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq.get(), i), "snC", &name, &index, &kind))
                throw PythonErrorSet{};
            const bool known = kind == 'f' || kind == 'i' || kind == 's';
            if (!known || index < 0 || index >= field_count)
                throw pc::ColumnarError(pc::CallFailure::BadInput, paywheel::messages::kRecordFieldSpec);
            wanted.push_back({static_cast<std::size_t>(index),
                              kind == 'f' ? pb::FieldKind::Float64 : kind == 'i' ? pb::FieldKind::Int32 : pb::FieldKind::Text});
            names.emplace_back(name);
        }
        const std::string_view text(block.data<char>(), static_cast<std::size_t>(block.count()));
        pc::TablePtr table;
        without_lock([&] {
            pb::RecordFields read = pb::read_record_fields(text, static_cast<char>(delimiter),
                                                           static_cast<std::size_t>(field_count), wanted, n_threads);
            if (read.clean) table = pc::record_table(std::move(read), names);
        });
        if (!table) return PyRef::borrow(Py_None).release();
        return wrap_table(std::move(table));
    });
}

}  // namespace quill::columnar
