#include "paywheel/columnar/record_table.hpp"

#include <memory>
#include <utility>

namespace paywheel::columnar {

TablePtr record_table(batch::RecordFields&& fields, const std::vector<std::string>& names) {
    auto table = std::make_shared<TableData>();
    const auto rows = static_cast<std::int64_t>(fields.lines);
    table->rows = rows;
    for (std::size_t w = 0; w < fields.fields.size(); ++w) {
        batch::FieldValues& f = fields.fields[w];
        ArrowColumn c;
        c.name = names.at(w);
        c.length = rows;
        c.null_count = f.nulls;
        const void* validity = f.nulls != 0 ? table->adopt(std::move(f.valid)) : nullptr;
        switch (f.kind) {
            case batch::FieldKind::Float64:
                c.format = "g";
                c.buffers = {validity, table->adopt(std::move(f.floats))};
                break;
            case batch::FieldKind::Int32:
                c.format = "i";
                c.buffers = {validity, table->adopt(std::move(f.ints))};
                break;
            case batch::FieldKind::Text:
                c.format = "u";
                c.buffers = {validity, table->adopt(std::move(f.offsets)), table->adopt(std::move(f.chars))};
                break;
        }
        table->columns.push_back(std::move(c));
    }
    return table;
}

}  // namespace paywheel::columnar
