// What Python reads of the native side, by name: the failure codes and the
// fields they blame, the discount modes and yield bases, the age that is no
// age, the longest lag, each taken from the native enum or constant that
// defines it, and (for the tests) the message catalogue, every text of
// messages.hpp under its constant's name. Python copies none of them.
#include <cstdint>
#include <iterator>

#include "bindings/columnar/native.hpp"
#include "paywheel/columnar/projection.hpp"
#include "paywheel/columnar/valuation.hpp"
#include "paywheel/core/failure_code.hpp"
#include "paywheel/core/messages.hpp"

namespace quill::columnar {

namespace {

namespace pc = paywheel::columnar;

struct NamedText {
    const char* name;
    const char* text;
};

// Generated from messages.hpp when the build is configured: its constants'
// names, the compiler reading their texts from the header itself.
constexpr NamedText kCatalogue[] = {
#include "message_catalogue.inc"
};

// name: a tuple of the strings names[0, count).
bool add_tuple(PyObject* module, const char* name, const char* const* names, int count) {
    PyRef t = PyRef::steal(PyTuple_New(count));
    if (!t) return false;
    for (int i = 0; i < count; ++i) {
        PyObject* s = PyUnicode_FromString(names[i]);
        if (s == nullptr) return false;
        PyTuple_SET_ITEM(t.get(), i, s);
    }
    return PyModule_AddObjectRef(module, name, t.get()) >= 0;
}

bool add_catalogue(PyObject* module) {
    PyRef d = PyRef::steal(PyDict_New());
    if (!d) return false;
    for (const NamedText& m : kCatalogue) {
        PyRef text = PyRef::steal(PyUnicode_FromString(m.text));
        if (!text || PyDict_SetItemString(d.get(), m.name, text.get()) < 0) return false;
    }
    return PyModule_AddObjectRef(module, "_MESSAGES", d.get()) >= 0;
}

int mode(pc::DiscountMode m) noexcept { return static_cast<int>(m); }
int basis(pc::YieldBasis b) noexcept { return static_cast<int>(b); }

}  // namespace

bool register_names(PyObject* module) {
    static_assert(sizeof(long) >= sizeof(std::int64_t), "NOT_AN_AGE is an int64");
    return add_tuple(module, "FAILURE_CODES", paywheel::kFailureCodeNames, paywheel::kFailureCodeCount) &&
           add_tuple(module, "FAILURE_FIELDS", paywheel::kFieldNames,
                     static_cast<int>(std::size(paywheel::kFieldNames))) &&
           PyModule_AddIntConstant(module, "DISCOUNT_RATE", mode(pc::DiscountMode::Rate)) >= 0 &&
           PyModule_AddIntConstant(module, "DISCOUNT_CURVE", mode(pc::DiscountMode::Curve)) >= 0 &&
           PyModule_AddIntConstant(module, "DISCOUNT_PRICE", mode(pc::DiscountMode::Price)) >= 0 &&
           PyModule_AddIntConstant(module, "DISCOUNT_CURVE_PRICE", mode(pc::DiscountMode::CurvePrice)) >= 0 &&
           PyModule_AddIntConstant(module, "BASIS_MORTGAGE", basis(pc::YieldBasis::Mortgage)) >= 0 &&
           PyModule_AddIntConstant(module, "BASIS_BOND_EQUIVALENT", basis(pc::YieldBasis::BondEquivalent)) >= 0 &&
           PyModule_AddIntConstant(module, "NOT_AN_AGE", static_cast<long>(pc::kNotAnAge)) >= 0 &&
           PyModule_AddIntConstant(module, "MAX_LAG", pc::kMaxLag) >= 0 && add_catalogue(module);
}

}  // namespace quill::columnar
