// Cutting a stream's input into the batches it computes one at a time.
#pragma once

#include <cstdint>

#include "paywheel/columnar/decode.hpp"

namespace paywheel::columnar {

// The rows [pos, pos + rows) of `whole` as a batch of their own.
InputBatch slice_batch(const InputBatch& whole, std::int64_t pos, std::int64_t rows) noexcept;

struct SliceLimits {
    bool list = false;          // list layout: batch_rows loans a batch
    std::int64_t batch_rows = 0;  // long layout: at most this many output rows (at least one loan)
    // The ids of one batch stay within this many bytes, so that a batch's
    // utf8 id column keeps the type the stream's schema announced.
    std::int64_t max_id_bytes = INT32_MAX;
};

// How many input rows from `pos` of `whole` make the next output batch: in
// the list layout batch_rows loans, in the long layout as many loans as keep
// the batch within batch_rows output rows, so that a batch's memory does not
// grow with the loans' length; in both, ids within max_id_bytes. At least
// one loan. Rows that fail count as empty; the fill reads them again.
std::int64_t rows_for_batch(const InputBatch& whole, std::int64_t pos, const SliceLimits& limits) noexcept;

}  // namespace paywheel::columnar
