// The survival model of a projection: a scenario's per-period rates read
// from its curves, and the survival recurrence run once per scenario and age
// into weights that every loan of that age shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "paywheel/columnar/projection.hpp"

namespace paywheel::columnar::proj {

// What a scenario does to every loan of one age, whatever its schedule: the
// survival S after each period m, live = S*(1-mdr), and the products the
// model forms before it multiplies by a balance, smm*live and mdr*S. The
// model's recurrence runs here once per scenario and age instead of once per
// loan, with the same operations in the same order, so the flows keep their
// bits; what is left per loan has no dependence between periods and is
// vectorised.
struct Weights {
    std::vector<double> surv{1.0};  // surv[m]: S after period m (surv[0] = 1)
    std::vector<double> live{0.0};  // live[m]
    std::vector<double> prepay{0.0};  // smm(m)*live[m]
    std::vector<double> dflt{0.0};    // mdr(m)*surv[m-1]

    std::int64_t periods() const noexcept { return static_cast<std::int64_t>(surv.size()) - 1; }
    // Runs the recurrence on to period R.
    void extend(const Scenario& sc, std::int64_t age, std::int64_t R);
};

// The weights of the ages met so far, for one worker thread of one call,
// dropped when they would hold more than kCacheDoubles (the rows of a block
// come by age, so what is dropped is mostly not needed again).
class WeightCache {
public:
    const Weights& get(std::size_t scenario, const Scenario& sc, std::int64_t age, std::int64_t R);

    static constexpr std::size_t kCacheDoubles = std::size_t{4} << 20;  // 32 MiB

private:
    struct KeyHash {
        std::size_t operator()(const std::pair<std::size_t, std::int64_t>& k) const noexcept {
            return std::hash<std::int64_t>()(k.second) * 31 + k.first;
        }
    };
    std::unordered_map<std::pair<std::size_t, std::int64_t>, Weights, KeyHash> sets_;
    std::size_t held_ = 0;
};

}  // namespace paywheel::columnar::proj
