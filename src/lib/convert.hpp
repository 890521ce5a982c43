// Native results to Python objects. Each routine consumes its input: a
// column's floats are freed as soon as its list exists, so native and Python
// copies of a schedule coexist only briefly. Object creation failures abort.
#pragma once

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "lib/pyref.hpp"
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

// Each returns a new reference.
PyRef series_to_list(paywheel::Series&& series);
PyRef schedule_to_dict(paywheel::Schedule&& schedule);
PyRef schedules_to_list(std::vector<paywheel::Schedule>&& schedules);
PyRef schedule_map_to_dict(ScheduleMap&& schedules);

}  // namespace quill
