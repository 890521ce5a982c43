// Native results to Python objects. Each routine consumes its input: native
// storage is given back as soon as its lists exist, so native and Python
// copies of a schedule coexist only briefly. Object creation failures abort.
#pragma once

#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bindings/pyref.hpp"
#include "paywheel/batch/evaluate.hpp"
#include "paywheel/core/engine.hpp"

namespace quill {

// Schedules keyed by loan id, iterated in order of first appearance; a later
// schedule for the same id replaces the earlier one in place.
class ScheduleMap {
public:
    void insert(std::string id, paywheel::Schedule schedule);
    std::size_t size() const noexcept { return entries_.size(); }
    std::vector<std::pair<std::string, paywheel::Schedule>>& entries() noexcept { return entries_; }

private:
    std::vector<std::pair<std::string, paywheel::Schedule>> entries_;
    std::unordered_map<std::string, std::size_t> index_;
};

// Each returns a new reference. Floats are widened to double, which is
// exact; a schedule becomes a dict keyed "Per", "Cap", "Int", "Pmt", "Bal"
// in that order.
PyRef floats_to_list(std::span<const float> values);
PyRef schedule_to_dict(paywheel::Schedule&& schedule);
PyRef schedule_map_to_dict(ScheduleMap&& schedules);
// One dict per loan of the batch, in batch order.
PyRef batch_schedules_to_list(paywheel::batch::BatchSchedules&& schedules);

}  // namespace quill
