// schedules() and cashflows(): read the book under the lock, compute with
// the lock released (interruptibly), hand back (table, failures, errors).
#include <atomic>
#include <climits>

#include "bindings/columnar/edge.hpp"
#include "bindings/columnar/input.hpp"
#include "bindings/columnar/native.hpp"
#include "paywheel/columnar/runner.hpp"
#include "paywheel/core/messages.hpp"

namespace quill::columnar {

namespace pc = paywheel::columnar;

std::size_t resolve_threads(long long threads) {
    if (threads < 0) throw pc::ColumnarError(pc::CallFailure::BadInput, paywheel::messages::kThreadsPositive);
    return threads == 0 ? pc::default_threads() : static_cast<std::size_t>(threads);
}

namespace {

// New reference: a str, or None for a value that is absent.
PyRef text_or_none(bool present, const std::string& text) {
    if (!present) return PyRef::borrow(Py_None);
    return PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

PyRef text_or_none(const char* text) {
    if (text == nullptr) return PyRef::borrow(Py_None);
    return PyRef::steal(PyUnicode_FromString(text));
}

}  // namespace

PyObject* failures_to_list(const std::vector<pc::FailureRow>& rows) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const pc::FailureRow& r = rows[i];
        const pc::RowFailure& f = r.failure;
        PyRef id = text_or_none(r.has_id, r.id);
        PyRef code = text_or_none(paywheel::name_of(f.code));
        PyRef field = text_or_none(paywheel::name_of(f.field));
        PyRef value = text_or_none(f.has_value, f.value);
        PyRef reason = text_or_none(true, f.reason);
        PyRef terms = PyRef::borrow(Py_None);
        if (f.has_terms) {
            const pc::Terms& t = f.terms;
            // In cent mode the terms the cent engine read: the amount to its
            // cent and the float64 rate.
            const double amt = t.in_cents ? static_cast<double>(t.cents) / 100.0 : static_cast<double>(t.amt);
            const double rate = t.in_cents ? t.rate64 : static_cast<double>(t.rate);
            terms = PyRef::steal(Py_BuildValue("(ddiii)", amt, rate, t.pers, t.int_freq, t.cap_freq));
        }
        PyRef index = PyRef::steal(PyLong_FromLongLong(f.index));
        if (!index || !id || !code || !field || !value || !reason || !terms) return nullptr;
        PyObject* item =
            PyTuple_Pack(7, index.get(), id.get(), code.get(), field.get(), value.get(), reason.get(), terms.get());
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

namespace {

enum class Operation { Schedules, Cashflows };

struct CallArgs {
    PyObject* source = nullptr;
    bool list = false;
    bool skip = false;
    long long threads = 0;
    bool strict = true;
    bool cents = false;            // precision="cent"
    PyObject* ages = Py_None;      // int64 a row, or None
    PyObject* balances = Py_None;  // float64 a row, or None
    long long periods_per_year = 12;
};

// The one body of both calls. New reference: (table or None, failures,
// errors table).
PyObject* run_call(Operation op, const CallArgs& a) {
    release_pending_views();
    return edge([&]() -> PyObject* {
        const std::size_t n_threads = resolve_threads(a.threads);
        std::unique_ptr<Book> book = read_book(a.source, a.strict, a.cents, a.periods_per_year);
        if (op == Operation::Schedules && book->rows() > INT32_MAX)
            throw pc::ColumnarError(pc::CallFailure::BadInput,
                                    paywheel::messages::kTooManyLoans);
        const HeldBuffer ages = HeldBuffer::of(a.ages, "ages", 8, "lq", book->rows());
        const HeldBuffer balances = HeldBuffer::of(a.balances, "balances", 8, "d", book->rows());
        const pc::StandingColumns standing{ages.data<std::int64_t>(), balances.data<double>()};
        std::atomic<bool> stop{false};
        pc::TablePtr table;
        std::vector<pc::FailureRow> failures;
        run_interruptible(stop, [&] {
            const auto run = pc::runner_for(n_threads);
            if (op == Operation::Schedules) {
                pc::ComputeOptions opt;
                opt.layout = a.list ? pc::Layout::List : pc::Layout::Long;
                opt.on_error = a.skip ? pc::OnError::Skip : pc::OnError::Raise;
                opt.loan_is_global_row = true;  // the row index is also the index into the ids
                opt.standing = standing;
                for (const pc::InputBatch& b : book->batches)
                    opt.calendar = opt.calendar || b.shape.payments_per_year.kind != pc::Kind::Absent;
                pc::ScheduleResult res = pc::compute_schedules(book->batches, opt, run, stop);
                failures = pc::with_ids(res.failures, book->batches, book->has_id, 0);
                if (!a.skip && !failures.empty()) return;
                table = pc::schedule_table(res, pc::ids_of(book->batches, book->has_id),
                                           pc::TableShape{a.list, book->has_id, false});
            } else {
                pc::CashflowTotals tot =
                    pc::compute_cashflows(book->batches, a.skip ? pc::OnError::Skip : pc::OnError::Raise, run, stop,
                                          standing);
                failures = pc::with_ids(tot.failures, book->batches, book->has_id, 0);
                if (!a.skip && !failures.empty()) return;
                table = pc::cashflow_table(tot);
            }
        });
        book.reset();
        PyRef fl = PyRef::steal(failures_to_list(failures));
        if (!fl) return nullptr;
        PyRef t = table ? PyRef::steal(wrap_table(std::move(table))) : PyRef::borrow(Py_None);
        if (!t) return nullptr;
        PyRef et = PyRef::steal(wrap_table(pc::errors_table(failures)));
        if (!et) return nullptr;
        return PyTuple_Pack(3, t.get(), fl.get(), et.get());
    });
}

}  // namespace

PyObject* py_schedules(PyObject*, PyObject* args) {
    CallArgs a;
    int list = 0, skip = 0, strict = 1, cents = 0;
    if (!PyArg_ParseTuple(args, "OppL|ppOOL", &a.source, &list, &skip, &a.threads, &strict, &cents, &a.ages,
                          &a.balances, &a.periods_per_year))
        return nullptr;
    a.list = list != 0;
    a.skip = skip != 0;
    a.strict = strict != 0;
    a.cents = cents != 0;
    return run_call(Operation::Schedules, a);
}

PyObject* py_cashflows(PyObject*, PyObject* args) {
    CallArgs a;
    int skip = 0, strict = 1, cents = 0;
    if (!PyArg_ParseTuple(args, "OpL|ppOOL", &a.source, &skip, &a.threads, &strict, &cents, &a.ages, &a.balances,
                          &a.periods_per_year))
        return nullptr;
    a.skip = skip != 0;
    a.strict = strict != 0;
    a.cents = cents != 0;
    return run_call(Operation::Cashflows, a);
}

PyObject* py_default_threads(PyObject*, PyObject*) {
    return edge([] { return PyLong_FromSize_t(pc::default_threads()); });
}

}  // namespace quill::columnar
