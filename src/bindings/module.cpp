// The module frame: the one exported symbol, the three registered operations
// and the trampoline every call goes through. This is the only place where a
// failure of any kind becomes a Python exception.
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "bindings/operations.hpp"

namespace quill {

namespace {

[[noreturn]] void guard_fired() noexcept {
    // A failure while a failure was being reported: nothing sane is left to
    // unwind into, so report it and end the process.
    const auto here = std::source_location::current();
    const char* message = paywheel::messages::kGuardFired;
    paywheel::write_abort_report(message, std::strlen(message), paywheel::site_of(here));
    std::abort();
}

constexpr const char* kIncoming[] = {"incoming"};

// Every module function, in binding order.
constexpr Operation kOperations[] = {
    {"paywheel_fn", "paywheel_fn(incoming)\n--\n\n", {kIncoming, 1, 1}, paywheel_fn_body},
    {"paywheel_par", "paywheel_par(incoming)\n--\n\n", {kIncoming, 1, 1}, paywheel_par_body},
    {"paywheel_gil", "paywheel_gil(incoming)\n--\n\n", {kIncoming, 1, 1}, paywheel_gil_body},
};

// New reference to the call's result, or null with an exception set.
// Binds the arguments, runs the body and reports its outcome. This is the
// only place a call's failure becomes a Python exception: BoundaryError
// values are restored as they are, native failures go through
// raise_failure.
//
// Not noexcept: a thread that CPython ends while it takes the lock back
// (interpreter finalization) unwinds through here to its start, and a
// noexcept frame on that way would turn its quiet exit into std::terminate.
PyObject* entry_trampoline(const Operation& op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // Declared first so that it closes last: temporaries are released only
    // once the result or the pending exception is in place.
    CallScope scope;
    PyObject* result = nullptr;
    try {
        try {
            PyObject* bound[kMaxParameters] = {};
            std::optional<BoundaryError> unbound =
                bind_arguments(op.name, op.arguments, args, nargs, kwnames, bound);
            BodyResult outcome = unbound ? BodyResult(std::move(*unbound)) : op.body(bound);
            if (PyRef* ok = std::get_if<PyRef>(&outcome))
                result = ok->release();
            else
                std::move(std::get<BoundaryError>(outcome)).restore();
        } catch (abi::__forced_unwind&) {
            throw;  // the thread is ending: let it
        } catch (...) {
            raise_failure(paywheel::batch::classify_current_exception());
        }
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        guard_fired();
    }
    return result;
}

// The C entry of operation I: a new reference, or null with an exception set.
template <std::size_t I>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_trampoline(kOperations[I], args, nargs, kwnames);
}

template <std::size_t... I>
constexpr auto make_entries(std::index_sequence<I...>) {
    using Entry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
    return std::array<Entry, sizeof...(I)>{&entry<I>...};
}

constexpr auto kEntries = make_entries(std::make_index_sequence<std::size(kOperations)>());

static_assert([] {
    for (const Operation& op : kOperations)
        if (op.arguments.positional_count > kMaxParameters) return false;
    return true;
}(), "an operation takes more parameters than the trampoline binds");

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "quill_harbor",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<bool> g_initialised{false};

std::optional<BoundaryError> register_operation(PyObject* module, const Operation& op, PyCFunction entry) {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) return fetch_error();
    PyRef module_name_str = PyRef::steal(
        PyUnicode_FromStringAndSize(module_name, static_cast<Py_ssize_t>(std::strlen(module_name))));
    if (!module_name_str) return fetch_error();

    // The function object keeps pointing at its definition for good.
    PyMethodDef* def = new PyMethodDef{op.name, entry, METH_FASTCALL | METH_KEYWORDS, op.doc};
    PyRef function = PyRef::steal(PyCMethod_New(def, module, module_name_str.get(), nullptr));
    if (!function) return fetch_error();

    PyObject* name_attr = interned_name("__name__");
    if (name_attr == nullptr) return fetch_error();
    PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), name_attr));
    if (!name) return fetch_error();
    Py_ssize_t name_len = 0;
    const char* name_text = PyUnicode_AsUTF8AndSize(name.get(), &name_len);
    if (name_text == nullptr) return fetch_error();

    PyObject* all_attr = interned_name("__all__");
    if (all_attr == nullptr) return fetch_error();
    PyRef all = PyRef::steal(PyObject_GetAttr(module, all_attr));
    if (!all) {
        BoundaryError missing = fetch_error();
        if (!PyErr_GivenExceptionMatches(missing.type(), PyExc_AttributeError)) return missing;
        all = PyRef::steal(PyList_New(0));
        if (!all) return fetch_error();
        if (PyObject_SetAttr(module, all_attr, all.get()) < 0) return fetch_error();
    }
    PyRef entry_name = PyRef::steal(PyUnicode_FromStringAndSize(name_text, name_len));
    if (!entry_name) return fetch_error();
    if (PyList_Append(all.get(), entry_name.get()) < 0)
        abort_with_error(paywheel::messages::kAppendAllFailed, fetch_error());
    if (PyObject_SetAttr(module, entry_name.get(), function.get()) < 0) return fetch_error();
    return std::nullopt;
}

// Returns a new reference to the module, or null with an exception set.
PyObject* initialise_module() noexcept {
    CallScope scope;
    try {
        try {
            // The abort report's settings, read here under the lock so that
            // no report ever reads the environment (also read at load).
            paywheel::read_abort_settings();
            PyRef module = PyRef::steal(PyModule_Create2(&g_definition, 1013));
            if (!module) {
                fetch_error().restore();
                return nullptr;
            }
            // Refused before the one initialisation is spent, so that the
            // refusal, not "initialized once", is what every attempt sees.
            if (std::optional<BoundaryError> err = apply_power_setting()) {
                module = PyRef();
                std::move(*err).restore();
                return nullptr;
            }
            if (g_initialised.exchange(true)) {
                module = PyRef();
                BoundaryError::deferred_text(ExcType::ImportError, paywheel::messages::kInitialisedTwice).restore();
                return nullptr;
            }
            for (std::size_t i = 0; i < std::size(kOperations); ++i) {
                PyCFunction entry = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(kEntries[i]));
                if (std::optional<BoundaryError> err = register_operation(module.get(), kOperations[i], entry)) {
                    module = PyRef();
                    std::move(*err).restore();
                    return nullptr;
                }
            }
            return module.release();
        } catch (...) {
            raise_failure(paywheel::batch::classify_current_exception());
        }
    } catch (...) {
        guard_fired();
    }
    return nullptr;
}

}  // namespace

std::optional<BoundaryError> bind_arguments(const char* name, const ArgumentSpec& signature, PyObject* const* args,
                                            Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    const Py_ssize_t params = signature.positional_count;
    for (Py_ssize_t i = 0; i < params; ++i) slots[i] = i < nargs ? args[i] : nullptr;

    if (nargs > params) {
        return BoundaryError::deferred_text(
            ExcType::TypeError,
            std::string(name) + "() takes " + std::to_string(params) + " positional arguments but " +
                std::to_string(nargs) + " were given");
    }

    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* kwname = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t len = 0;
            const char* text = PyUnicode_AsUTF8AndSize(kwname, &len);
            Py_ssize_t match = -1;
            if (text == nullptr) {
                // A name that is not valid UTF-8 matches no parameter.
                PyErr_Clear();
            } else {
                for (Py_ssize_t i = 0; i < params; ++i) {
                    if (std::strlen(signature.positional[i]) == static_cast<std::size_t>(len) &&
                        std::memcmp(signature.positional[i], text, static_cast<std::size_t>(len)) == 0) {
                        match = i;
                        break;
                    }
                }
            }
            if (match < 0) {
                PyRef message = PyRef::steal(
                    PyUnicode_FromFormat("%s() got an unexpected keyword argument '%S'", name, kwname));
                if (!message) return fetch_error();
                return BoundaryError::deferred_str(ExcType::TypeError, std::move(message));
            }
            if (slots[match] != nullptr) {
                return BoundaryError::deferred_text(ExcType::TypeError,
                                                    std::string(name) + "() got multiple values for argument '" +
                                                        signature.positional[match] + "'");
            }
            slots[match] = args[nargs + k];
        }
    }

    if (nargs < signature.required_count) {
        std::string missing;
        Py_ssize_t count = 0;
        for (Py_ssize_t i = nargs; i < signature.required_count; ++i) {
            if (slots[i] != nullptr) continue;
            if (count > 0) missing += ", ";
            missing += "'";
            missing += signature.positional[i];
            missing += "'";
            ++count;
        }
        if (count > 0) {
            return BoundaryError::deferred_text(
                ExcType::TypeError,
                std::string(name) + "() missing " + std::to_string(count) + " required positional argument" +
                    (count == 1 ? "" : "s") + ": " + missing);
        }
    }
    return std::nullopt;
}

}  // namespace quill

// New reference to the module, or null with an exception set.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quill_harbor(void) {
    return quill::initialise_module();
}
