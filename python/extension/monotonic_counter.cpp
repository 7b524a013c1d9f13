// MonotonicCounter: increasing unsigned 64-bit numbers from one atomic, so
// both methods need only shared access and stay correct across threads.
#include <atomic>
#include <cstdint>
#include <new>

#include "classes.hpp"
#include "convert.hpp"

namespace kestrel::py {

namespace {

struct CounterObject {
    PyObject_HEAD
    std::atomic<std::uint64_t> value;  // the last value handed out (or the initial value)
};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

constexpr const char* kNewParams[] = {"initial_value"};
constexpr Signature kNewSignature{"MonotonicCounter", kNewParams, 0};

PyObject* counter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* slots[1];
    if (!bind_tuple(kNewSignature, args, kwargs, slots)) return nullptr;
    std::uint64_t initial = 0;
    if (slots[0] != nullptr && !argument(kNewSignature, 0, slots[0], initial)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<CounterObject*>(self)->value) std::atomic<std::uint64_t>(initial);
    return self;
}

// The method descriptor has already checked the receiver's type.
CounterObject* counter_of(PyObject* self) { return reinterpret_cast<CounterObject*>(self); }

// next_value: one fetch-and-add; wraps from 2**64 - 1 to 0.
PyObject* next_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr Signature signature{"next_value", {}, 0};
    if (!bind_fastcall(signature, args, nargs, kwnames, nullptr)) return nullptr;
    const std::uint64_t next = counter_of(self)->value.fetch_add(1) + 1;
    return PyLong_FromUnsignedLongLong(next);
}

PyObject* current_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr Signature signature{"current_value", {}, 0};
    if (!bind_fastcall(signature, args, nargs, kwnames, nullptr)) return nullptr;
    return PyLong_FromUnsignedLongLong(counter_of(self)->value.load());
}

PyMethodDef kMethods[] = {
    {"next_value", as_method(next_value), METH_FASTCALL | METH_KEYWORDS,
     "next_value($self)\n--\n\nReturn the next strictly greater counter value."},
    {"current_value", as_method(current_value), METH_FASTCALL | METH_KEYWORDS,
     "current_value($self)\n--\n\nReturn the current counter value without advancing it."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("MonotonicCounter(initial_value=0)\n--\n\n"
                                  "A monotonically increasing 64-bit counter.")},
    {Py_tp_new, reinterpret_cast<void*>(counter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.MonotonicCounter", sizeof(CounterObject), 0, kClassFlags, kSlots};

PyObject* g_type = nullptr;

}  // namespace

PyTypeObject* counter_type() { return cached_type(g_type, kSpec); }

}  // namespace kestrel::py
