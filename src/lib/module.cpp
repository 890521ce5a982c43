// The module frame: the one exported symbol, the three registered operations
// and the trampoline every call goes through. This is the only place where a
// failure of any kind becomes a Python exception.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "lib/operations.hpp"

namespace quill {

namespace {

[[noreturn]] void guard_fired() noexcept {
    // An abort while a failure was being reported: nothing sane is left to
    // unwind into, so report it and end the process.
    const auto here = std::source_location::current();
    static constexpr char kMessage[] = "uncaught panic at ffi boundary";
    paywheel::write_abort_report(kMessage, sizeof kMessage - 1, paywheel::site_of(here));
    std::abort();
}

void raise_as_panic(const paywheel::Abort& a) {
    BoundaryError::panic(std::string(a.message(), a.message_size())).restore();
}

// New reference to the call's result, or null with an exception set.
// Runs a body and reports its outcome. Every native failure is mapped here
// and nowhere else: BoundaryError values are restored as they are, aborts
// become PanicException, allocation failures MemoryError.
PyObject* entry_trampoline(Body body, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    // Declared first so that it closes last: temporaries are released only
    // once the result or the pending exception is in place.
    CallScope scope;
    PyObject* result = nullptr;
    try {
        try {
            BodyResult outcome = body(self, args, nargs, kwnames);
            if (PyRef* ok = std::get_if<PyRef>(&outcome))
                result = ok->release();
            else
                std::move(std::get<BoundaryError>(outcome)).restore();
        } catch (const paywheel::Abort& a) {
            raise_as_panic(a);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::length_error&) {
            PyErr_NoMemory();
        } catch (const std::exception& e) {
            PyErr_SetString(PyExc_SystemError, e.what());
        }
    } catch (...) {
        guard_fired();
    }
    return result;
}

constexpr const char* kIncoming[] = {"incoming"};
constexpr ArgumentSpec kArgumentsFn{"paywheel_fn", kIncoming, 1, 1};
constexpr ArgumentSpec kArgumentsPar{"paywheel_par", kIncoming, 1, 1};
constexpr ArgumentSpec kArgumentsGil{"paywheel_gil", kIncoming, 1, 1};

// The three entries: each returns a new reference, or null with an exception set.
PyObject* entry_paywheel_fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_trampoline(paywheel_fn_body, self, args, nargs, kwnames);
}
PyObject* entry_paywheel_par(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_trampoline(paywheel_par_body, self, args, nargs, kwnames);
}
PyObject* entry_paywheel_gil(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_trampoline(paywheel_gil_body, self, args, nargs, kwnames);
}

struct OperationEntry {
    const char* name;
    PyObject* (*entry)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
    int flags;
    const char* doc;
};

constexpr OperationEntry kOperations[] = {
    {"paywheel_fn", entry_paywheel_fn, METH_FASTCALL | METH_KEYWORDS, "paywheel_fn(incoming)\n--\n\n"},
    {"paywheel_par", entry_paywheel_par, METH_FASTCALL | METH_KEYWORDS, "paywheel_par(incoming)\n--\n\n"},
    {"paywheel_gil", entry_paywheel_gil, METH_FASTCALL | METH_KEYWORDS, "paywheel_gil(incoming)\n--\n\n"},
};

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

// Borrowed reference to an interned attribute name, made once per process.
PyObject* interned(PyObject*& cache, const char* text) {
    if (cache == nullptr) {
        PyObject* s = PyUnicode_FromString(text);
        if (s == nullptr) return nullptr;
        PyUnicode_InternInPlace(&s);
        cache = s;
    }
    return cache;
}
PyObject* g_name_attr = nullptr;
PyObject* g_all_attr = nullptr;

std::optional<BoundaryError> register_operation(PyObject* module, const OperationEntry& op) {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) return fetch_error();
    PyRef module_name_str = PyRef::steal(
        PyUnicode_FromStringAndSize(module_name, static_cast<Py_ssize_t>(std::strlen(module_name))));
    if (!module_name_str) return fetch_error();

    // The function object keeps pointing at its definition for good.
    PyMethodDef* def = new PyMethodDef{op.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(op.entry)),
                                       op.flags, op.doc};
    PyRef function = PyRef::steal(PyCMethod_New(def, module, module_name_str.get(), nullptr));
    if (!function) return fetch_error();

    PyObject* name_attr = interned(g_name_attr, "__name__");
    if (name_attr == nullptr) return fetch_error();
    PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), name_attr));
    if (!name) return fetch_error();
    Py_ssize_t name_len = 0;
    const char* name_text = PyUnicode_AsUTF8AndSize(name.get(), &name_len);
    if (name_text == nullptr) return fetch_error();

    PyObject* all_attr = interned(g_all_attr, "__all__");
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
        abort_with_error("could not append __name__ to __all__", fetch_error());
    if (PyObject_SetAttr(module, entry_name.get(), function.get()) < 0) return fetch_error();
    return std::nullopt;
}

// Returns a new reference to the module, or null with an exception set.
PyObject* initialise_module() noexcept {
    CallScope scope;
    try {
        try {
            PyRef module = PyRef::steal(PyModule_Create2(&g_definition, 1013));
            if (!module) {
                fetch_error().restore();
                return nullptr;
            }
            if (g_initialised.exchange(true)) {
                module = PyRef();
                BoundaryError::deferred_text([] { return PyExc_ImportError; },
                                             "PyO3 modules may only be initialized once per interpreter process")
                    .restore();
                return nullptr;
            }
            for (const OperationEntry& op : kOperations) {
                if (std::optional<BoundaryError> err = register_operation(module.get(), op)) {
                    module = PyRef();
                    std::move(*err).restore();
                    return nullptr;
                }
            }
            return module.release();
        } catch (const paywheel::Abort& a) {
            raise_as_panic(a);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        }
    } catch (...) {
        guard_fired();
    }
    return nullptr;
}

}  // namespace

std::optional<BoundaryError> bind_arguments(const ArgumentSpec& signature, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames, PyObject** slots) {
    const Py_ssize_t params = signature.positional_count;
    for (Py_ssize_t i = 0; i < params; ++i) slots[i] = i < nargs ? args[i] : nullptr;

    if (nargs > params) {
        return BoundaryError::deferred_text(
            [] { return PyExc_TypeError; },
            std::string(signature.name) + "() takes " + std::to_string(params) + " positional arguments but " +
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
                    PyUnicode_FromFormat("%s() got an unexpected keyword argument '%S'", signature.name, kwname));
                if (!message) return fetch_error();
                return BoundaryError::deferred_str([] { return PyExc_TypeError; }, std::move(message));
            }
            if (slots[match] != nullptr) {
                return BoundaryError::deferred_text([] { return PyExc_TypeError; },
                                                    std::string(signature.name) + "() got multiple values for argument '" +
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
                [] { return PyExc_TypeError; },
                std::string(signature.name) + "() missing " + std::to_string(count) + " required positional argument" +
                    (count == 1 ? "" : "s") + ": " + missing);
        }
    }
    return std::nullopt;
}

const ArgumentSpec& paywheel_fn_arguments() { return kArgumentsFn; }
const ArgumentSpec& paywheel_par_arguments() { return kArgumentsPar; }
const ArgumentSpec& paywheel_gil_arguments() { return kArgumentsGil; }

}  // namespace quill

// New reference to the module, or null with an exception set.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quill_harbor(void) {
    return quill::initialise_module();
}
