// The fields read from a clean block of text records as a native table:
// each column taken over from the reader without a copy.
#pragma once

#include <string>
#include <vector>

#include "paywheel/batch/record_fields.hpp"
#include "paywheel/columnar/arrow_export.hpp"

namespace paywheel::columnar {

// float64, int32 and utf8 columns named `names` (one a field of `fields`,
// which must be clean), nulls where a field was empty. Takes the values.
TablePtr record_table(batch::RecordFields&& fields, const std::vector<std::string>& names);

}  // namespace paywheel::columnar
