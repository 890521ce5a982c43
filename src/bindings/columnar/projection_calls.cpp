// The projection calls of quill_harbor_columnar._native: the book, the ages,
// the segment codes and the scenarios are read under the lock; the
// projection runs on the pool with the lock released; the totals (or the
// per-loan rows) come back as a native table of flat columns.
#include <atomic>
#include <climits>
#include <cmath>
#include <string>
#include <string_view>
#include <utility>

#include "bindings/columnar/edge.hpp"
#include "bindings/columnar/input.hpp"
#include "bindings/columnar/native.hpp"
#include "bindings/lock.hpp"
#include "paywheel/columnar/projection.hpp"
#include "paywheel/columnar/projection_tables.hpp"
#include "paywheel/columnar/runner.hpp"
#include "paywheel/columnar/tables.hpp"
#include "paywheel/core/message_text.hpp"
#include "paywheel/core/messages.hpp"

namespace quill::columnar {

namespace pc = paywheel::columnar;
namespace msg = paywheel::messages;

namespace {

// A sequence of floats, any sign (checked where they are used).
std::vector<double> number_list(PyObject* obj, const char* what) {
    PyRef seq = PyRef::steal(PySequence_Fast(obj, what));
    if (!seq) {
        PyErr_Clear();
        throw pc::ColumnarError(pc::CallFailure::BadType, msg::text(msg::kNotFloatSequence, what));
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    std::vector<double> out(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const double v = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (v == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            throw pc::ColumnarError(pc::CallFailure::BadType, msg::text(msg::kNotFloatSequence, what));
        }
        out[static_cast<std::size_t>(i)] = v;
    }
    return out;
}

// A sequence of fractions in [0, 1]: a scenario's rates.
std::vector<double> fraction_list(PyObject* obj, const char* what) {
    std::vector<double> out = number_list(obj, what);
    for (const double v : out)
        if (!(v >= 0.0 && v <= 1.0))
            throw pc::ColumnarError(pc::CallFailure::BadInput, msg::text(msg::kNotAFraction, what));
    return out;
}

// Each scenario as (prepay rates, by age, default rates, by age, severity,
// lag), checked in Python already; checked again here so that no value
// from Python can make the kernel read out of bounds.
std::vector<pc::Scenario> read_scenarios(PyObject* obj) {
    PyRef seq = PyRef::steal(PySequence_Fast(obj, "scenarios"));
    if (!seq) {
        PyErr_Clear();
        throw pc::ColumnarError(pc::CallFailure::BadType, msg::kScenariosNotSequence);
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    if (n < 1 || n > INT32_MAX) throw pc::ColumnarError(pc::CallFailure::BadInput, msg::kNoScenario);
    std::vector<pc::Scenario> out(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *prepay, *dflt;
        int prepay_age, dflt_age;
        double severity;
        long long lag;
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyTuple_Check(item) ||
            !PyArg_ParseTuple(item, "OpOpdL", &prepay, &prepay_age, &dflt, &dflt_age, &severity, &lag)) {
            PyErr_Clear();
            throw pc::ColumnarError(pc::CallFailure::BadType, msg::kScenarioShape);
        }
        pc::Scenario& s = out[static_cast<std::size_t>(i)];
        s.prepay.rates = fraction_list(prepay, "prepayment rates");
        s.prepay.by_age = prepay_age != 0;
        s.dflt.rates = fraction_list(dflt, "default rates");
        s.dflt.by_age = dflt_age != 0;
        if (!(severity >= 0.0 && severity <= 1.0))
            throw pc::ColumnarError(pc::CallFailure::BadInput, msg::text(msg::kNotAFraction, "severity"));
        if (lag < 0 || lag > pc::kMaxLag) throw pc::ColumnarError(pc::CallFailure::BadInput, msg::kLagRange);
        s.severity = severity;
        s.lag = static_cast<std::int32_t>(lag);
    }
    return out;
}

void check_prices(const double* p, std::size_t n, const char* what) {
    for (std::size_t i = 0; i < n; ++i)
        if (!(p[i] > 0.0 && std::isfinite(p[i])))
            throw pc::ColumnarError(pc::CallFailure::BadInput, msg::text(msg::kValuePriceRange, what));
}

// The discount as (mode, periods_per_year, rate, years, zero rates, spread)
// and optionally the market's conventions (basis, delay days, settle days,
// shift), built and checked in Python already; the Valuer checks it again.
pc::Valuer read_discount(PyObject* obj) {
    int mode, basis = 0;
    long long ppy;
    double rate, spread, delay = 0.0, settle = 0.0, shift = 0.0;
    PyObject *years, *rates;
    if (!PyTuple_Check(obj) ||
        !PyArg_ParseTuple(obj, "iLdOOd|iddd", &mode, &ppy, &rate, &years, &rates, &spread, &basis, &delay, &settle,
                          &shift) ||
        mode < 0 || mode > static_cast<int>(pc::DiscountMode::CurvePrice) || basis < 0 ||
        basis > static_cast<int>(pc::YieldBasis::BondEquivalent)) {
        PyErr_Clear();
        throw pc::ColumnarError(pc::CallFailure::BadType, msg::kValueSpecShape);
    }
    if (ppy < 1 || ppy > INT32_MAX) throw pc::ColumnarError(pc::CallFailure::BadInput, msg::kValuePeriodsPerYear);
    pc::DiscountSpec spec;
    spec.mode = static_cast<pc::DiscountMode>(mode);
    spec.periods_per_year = static_cast<std::int32_t>(ppy);
    spec.rate = rate;
    spec.years = number_list(years, "curve years");
    spec.zero_rates = number_list(rates, "curve rates");
    spec.spread = spread;
    spec.basis = static_cast<pc::YieldBasis>(basis);
    spec.delay_days = delay;
    spec.settle_days = settle;
    spec.shift = shift;
    return pc::Valuer(std::move(spec));
}

// The optional per-loan columns of the book as it stands.
struct Standing {
    HeldBuffer balances, fees;
    void into(pc::ProjectionInput& in) const {
        in.balances = balances.data<double>();
        in.fees = fees.data<double>();
    }
};
Standing read_standing(PyObject* balances, PyObject* fees, std::int64_t rows) {
    return Standing{HeldBuffer::of(balances, "balances", 8, "d", rows), HeldBuffer::of(fees, "fees", 8, "d", rows)};
}

// The bytes the Python side adds to each output row as it assembles the
// result; a count out of range is refused like any other bad argument.
std::size_t caller_bytes(long long per_row) {
    if (per_row < 0 || per_row > (1 << 20)) throw pc::ColumnarError(pc::CallFailure::BadInput, msg::kRowBytesRange);
    return static_cast<std::size_t>(per_row);
}

// New reference: (failures list, errors table) of a call.
std::pair<PyRef, PyRef> failure_objects(const std::vector<pc::FailureRow>& failures) {
    PyRef fl = PyRef::steal(failures_to_list(failures));
    if (!fl) return {};
    PyRef et = PyRef::steal(wrap_table(pc::errors_table(failures)));
    return {std::move(fl), std::move(et)};
}

}  // namespace

// New reference: (table or None, horizons, failures, errors table).
PyObject* py_project(PyObject*, PyObject* args) {
    PyObject *source, *ages_obj, *segments_obj, *scenarios_obj, *balances_obj, *fees_obj;
    long long segment_count, threads, per_row;
    int skip, strict = 1, cents = 0;
    long long ppy = 12;
    if (!PyArg_ParseTuple(args, "OOOLOpLOOL|ppL", &source, &ages_obj, &segments_obj, &segment_count, &scenarios_obj,
                          &skip, &threads, &balances_obj, &fees_obj, &per_row, &strict, &cents, &ppy))
        return nullptr;
    release_pending_views();
    return edge([&]() -> PyObject* {
        const std::size_t n_threads = resolve_threads(threads);
        const std::vector<pc::Scenario> scenarios = read_scenarios(scenarios_obj);
        std::unique_ptr<Book> book = read_book(source, strict != 0, cents != 0, ppy);
        const std::int64_t rows = book->rows();
        const HeldBuffer ages = HeldBuffer::of(ages_obj, "ages", 8, "lq", rows);
        const HeldBuffer segments = HeldBuffer::of(segments_obj, "segments", 4, "i", rows);
        const Standing standing = read_standing(balances_obj, fees_obj, rows);
        pc::ProjectionInput in;
        in.ages = ages.data<std::int64_t>();
        in.segments = segments.data<std::int32_t>();
        standing.into(in);
        in.caller_bytes_per_row = caller_bytes(per_row);
        if (in.segments != nullptr) {
            if (segment_count < 1 || segment_count > INT32_MAX)
                throw pc::ColumnarError(pc::CallFailure::BadInput, msg::kSegmentCountRange);
            in.segment_count = static_cast<std::int32_t>(segment_count);
            for (std::int64_t i = 0; i < rows; ++i)
                if (in.segments[i] < 0 || in.segments[i] >= in.segment_count)
                    throw pc::ColumnarError(pc::CallFailure::BadInput, msg::kSegmentCodeRange);
        }
        std::atomic<bool> stop{false};
        pc::TablePtr table;
        std::vector<std::int64_t> horizons;
        std::vector<pc::FailureRow> failures;
        run_interruptible(stop, [&] {
            pc::ProjectionTotals tot =
                pc::compute_projection(book->batches, in, scenarios, skip ? pc::OnError::Skip : pc::OnError::Raise,
                                       pc::runner_for(n_threads), stop);
            failures = pc::with_ids(tot.failures, book->batches, book->has_id, 0);
            if (!skip && !failures.empty()) return;
            horizons = tot.horizon;
            table = pc::projection_table(std::move(tot));
        });
        book.reset();
        auto [fl, et] = failure_objects(failures);
        if (!fl || !et) return nullptr;
        PyRef t = table ? PyRef::steal(wrap_table(std::move(table))) : PyRef::borrow(Py_None);
        if (!t) return nullptr;
        PyRef hz = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(horizons.size())));
        if (!hz) return nullptr;
        for (std::size_t s = 0; s < horizons.size(); ++s) {
            PyObject* h = PyLong_FromLongLong(horizons[s]);
            if (h == nullptr) return nullptr;
            PyList_SET_ITEM(hz.get(), static_cast<Py_ssize_t>(s), h);
        }
        return PyTuple_Pack(4, t.get(), hz.get(), fl.get(), et.get());
    });
}

// New reference: (table or None, failures, errors table).
PyObject* py_project_loans(PyObject*, PyObject* args) {
    PyObject *source, *ages_obj, *scenarios_obj, *balances_obj, *fees_obj;
    long long threads, row_base, per_row;
    int skip, strict = 1, cents = 0;
    long long ppy = 12;
    if (!PyArg_ParseTuple(args, "OOOpLLOOL|ppL", &source, &ages_obj, &scenarios_obj, &skip, &threads, &row_base,
                          &balances_obj, &fees_obj, &per_row, &strict, &cents, &ppy))
        return nullptr;
    release_pending_views();
    return edge([&]() -> PyObject* {
        const std::size_t n_threads = resolve_threads(threads);
        const std::vector<pc::Scenario> scenarios = read_scenarios(scenarios_obj);
        std::unique_ptr<Book> book = read_book(source, strict != 0, cents != 0, ppy);
        const HeldBuffer ages = HeldBuffer::of(ages_obj, "ages", 8, "lq", book->rows());
        const Standing standing = read_standing(balances_obj, fees_obj, book->rows());
        pc::ProjectionInput in;
        in.ages = ages.data<std::int64_t>();
        standing.into(in);
        in.caller_bytes_per_row = caller_bytes(per_row);
        std::atomic<bool> stop{false};
        pc::TablePtr table;
        std::vector<pc::FailureRow> failures;
        run_interruptible(stop, [&] {
            pc::LoanProjection res = pc::compute_loan_projection(
                book->batches, in, scenarios, skip ? pc::OnError::Skip : pc::OnError::Raise, 0,
                pc::runner_for(n_threads), stop);
            // The ids are the book's; the rows are numbered from row_base.
            failures = pc::with_ids(res.failures, book->batches, book->has_id, 0);
            for (pc::FailureRow& f : failures) f.failure.index += row_base;
            if (!skip && !failures.empty()) return;
            table = pc::loan_projection_table(std::move(res));
        });
        book.reset();
        auto [fl, et] = failure_objects(failures);
        if (!fl || !et) return nullptr;
        PyRef t = table ? PyRef::steal(wrap_table(std::move(table))) : PyRef::borrow(Py_None);
        if (!t) return nullptr;
        return PyTuple_Pack(3, t.get(), fl.get(), et.get());
    });
}

// New reference: (table or None, failures, errors table).
PyObject* py_value_loans(PyObject*, PyObject* args) {
    PyObject *source, *ages_obj, *balances_obj, *fees_obj, *scenarios_obj, *discount_obj, *prices_obj, *loan_prices_obj;
    long long threads;
    int skip, strict = 1, cents = 0;
    long long ppy = 12;
    if (!PyArg_ParseTuple(args, "OOOOOOOOpL|ppL", &source, &ages_obj, &balances_obj, &fees_obj, &scenarios_obj,
                          &discount_obj, &prices_obj, &loan_prices_obj, &skip, &threads, &strict, &cents, &ppy))
        return nullptr;
    release_pending_views();
    return edge([&]() -> PyObject* {
        const std::size_t n_threads = resolve_threads(threads);
        const std::vector<pc::Scenario> scenarios = read_scenarios(scenarios_obj);
        pc::Valuer valuer = read_discount(discount_obj);
        const std::vector<double> prices = number_list(prices_obj, "prices");
        check_prices(prices.data(), prices.size(), "price");
        std::unique_ptr<Book> book = read_book(source, strict != 0, cents != 0, ppy);
        const std::int64_t rows = book->rows();
        const HeldBuffer ages = HeldBuffer::of(ages_obj, "ages", 8, "lq", rows);
        const Standing standing = read_standing(balances_obj, fees_obj, rows);
        const HeldBuffer loan_prices = HeldBuffer::of(loan_prices_obj, "loan prices", 8, "d", rows);
        if (loan_prices.data<double>() != nullptr)
            check_prices(loan_prices.data<double>(), static_cast<std::size_t>(rows), "the price column");
        pc::ProjectionInput in;
        in.ages = ages.data<std::int64_t>();
        standing.into(in);
        std::atomic<bool> stop{false};
        pc::TablePtr table;
        std::vector<pc::FailureRow> failures;
        run_interruptible(stop, [&] {
            pc::LoanValues res = pc::compute_loan_values(book->batches, in, scenarios, valuer, prices,
                                                         loan_prices.data<double>(),
                                                         skip ? pc::OnError::Skip : pc::OnError::Raise,
                                                         pc::runner_for(n_threads), stop);
            failures = pc::with_ids(res.failures, book->batches, book->has_id, 0);
            if (!skip && !failures.empty()) return;
            table = pc::loan_values_table(res);
        });
        book.reset();
        auto [fl, et] = failure_objects(failures);
        if (!fl || !et) return nullptr;
        PyRef t = table ? PyRef::steal(wrap_table(std::move(table))) : PyRef::borrow(Py_None);
        if (!t) return nullptr;
        return PyTuple_Pack(3, t.get(), fl.get(), et.get());
    });
}

// New reference: a table of the values of runs of a projection's flows.
PyObject* py_value_runs(PyObject*, PyObject* args) {
    PyObject *net_obj, *principal_obj, *balance_obj, *bounds_obj, *discount_obj, *prices_obj;
    if (!PyArg_ParseTuple(args, "OOOOOO", &net_obj, &principal_obj, &balance_obj, &bounds_obj, &discount_obj,
                          &prices_obj))
        return nullptr;
    return edge([&]() -> PyObject* {
        pc::Valuer valuer = read_discount(discount_obj);
        const std::vector<double> prices = number_list(prices_obj, "prices");
        check_prices(prices.data(), prices.size(), "price");
        const HeldBuffer net = HeldBuffer::of(net_obj, "net flows", 8, "d", -1);
        const std::int64_t n = net.count();
        const HeldBuffer principal = HeldBuffer::of(principal_obj, "principal", 8, "d", n);
        const HeldBuffer balance = HeldBuffer::of(balance_obj, "balance", 8, "d", n);
        const HeldBuffer bounds = HeldBuffer::of(bounds_obj, "bounds", 8, "lq", -1);
        if (bounds.count() % 2 != 0) throw pc::ColumnarError(pc::CallFailure::BadInput, msg::kValueBounds);
        pc::TablePtr table;
        without_lock([&] {
            const pc::RunValues res = pc::value_runs(
                valuer, net.data<double>(), principal.data<double>(), balance.data<double>(),
                static_cast<std::size_t>(n), bounds.data<std::int64_t>(), static_cast<std::size_t>(bounds.count() / 2),
                prices);
            table = pc::run_values_table(res);
        });
        return wrap_table(std::move(table));
    });
}

}  // namespace quill::columnar
