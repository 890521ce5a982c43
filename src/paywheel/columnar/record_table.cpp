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
        const void* validity = f.nulls != 0 ? table->adopt(std::move(f.valid)) : nullptr;
        ArrowColumn c;
        switch (f.kind) {
            case batch::FieldKind::Float64:
                c = fixed_column(names.at(w), "g", rows, table->adopt(std::move(f.floats)));
                break;
            case batch::FieldKind::Int32:
                c = fixed_column(names.at(w), "i", rows, table->adopt(std::move(f.ints)));
                break;
            case batch::FieldKind::Text:
                c = fixed_column(names.at(w), "u", rows, table->adopt(std::move(f.offsets)));
                c.buffers.push_back(table->adopt(std::move(f.chars)));
                break;
        }
        c.buffers[0] = validity;
        c.null_count = f.nulls;
        table->columns.push_back(std::move(c));
    }
    return table;
}

}  // namespace paywheel::columnar
