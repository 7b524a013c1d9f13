// SimulatedClock: time that moves only when the program says so, for running
// a control loop faster (or slower) than real time. The package's clocked
// objects read its counter directly, from C.
#include <atomic>
#include <cmath>
#include <cstdint>

#include "clock_source.hpp"
#include "fault.hpp"
#include "native.hpp"

#include <structmember.h>  // after Python.h

namespace kestrel::py::native {

namespace {

struct ClockObject {
    PyObject_HEAD
    std::atomic<std::uint64_t> now_ns;  // nanoseconds since the Unix epoch; only ever increased
    PyObject* weakrefs;
};

ClockObject* clock_of(PyObject* self) { return reinterpret_cast<ClockObject*>(self); }

constexpr const char* kNewParams[] = {"start_ns"};
constexpr Signature kNewSignature{"SimulatedClock", kNewParams, 0};

PyObject* clock_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* slots[1];
    if (!bind_tuple(kNewSignature, args, kwargs, slots)) return nullptr;
    std::uint64_t start = 0;
    if (slots[0] != nullptr && !argument(kNewSignature, 0, slots[0], start)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) new (&clock_of(self)->now_ns) std::atomic<std::uint64_t>(start);
    return self;
}

void clock_dealloc(PyObject* self) {
    if (clock_of(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    free_instance(self);
}

// step adds `ns` to the clock, all at once or not at all: the one way the
// clock moves, safe against concurrent steps.
PyObject* step(PyObject* self, std::uint64_t ns) {
    std::atomic<std::uint64_t>& now = clock_of(self)->now_ns;
    std::uint64_t before = now.load();
    do {
        if (ns > UINT64_MAX - before) {
            PyErr_SetString(PyExc_OverflowError, "the clock would pass 2**64 - 1 nanoseconds");
            return nullptr;
        }
    } while (!now.compare_exchange_weak(before, before + ns));
    Py_RETURN_NONE;
}

PyObject* refuse_going_back() {
    PyErr_SetString(PyExc_ValueError, "a SimulatedClock never goes back: the step must be >= 0");
    return nullptr;
}

constexpr const char* kAdvanceParams[] = {"seconds"};
constexpr Signature kAdvanceSignature{"advance", kAdvanceParams, 1};

PyObject* advance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1];
    Seconds given;
    if (!bind_fastcall(kAdvanceSignature, args, nargs, kwnames, slots) ||
        !argument(kAdvanceSignature, 0, slots[0], given)) {
        return nullptr;
    }
    const double seconds = given.value;
    if (std::isnan(seconds)) {
        PyErr_SetString(PyExc_ValueError, "seconds must be a number, not NaN");
        return nullptr;
    }
    if (seconds < 0.0) return refuse_going_back();
    const double ns = std::round(seconds * 1e9);
    if (!(ns < 0x1p64)) {
        PyErr_SetString(PyExc_OverflowError, "the clock would pass 2**64 - 1 nanoseconds");
        return nullptr;
    }
    return step(self, static_cast<std::uint64_t>(ns));
}

constexpr const char* kAdvanceNsParams[] = {"n"};
constexpr Signature kAdvanceNsSignature{"advance_ns", kAdvanceNsParams, 1};

PyObject* advance_ns(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1];
    if (!bind_fastcall(kAdvanceNsSignature, args, nargs, kwnames, slots)) return nullptr;
    const Ref n(PyNumber_Index(slots[0]));
    if (!n) {
        wrap_argument_error("n");
        return nullptr;
    }
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
    if (overflow < 0 || (overflow == 0 && small < 0)) return refuse_going_back();
    const unsigned long long ns = PyLong_AsUnsignedLongLong(n.get());
    if (ns == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_SetString(PyExc_OverflowError, "the clock would pass 2**64 - 1 nanoseconds");
        return nullptr;
    }
    return step(self, ns);
}

PyObject* get_now_ns(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(clock_of(self)->now_ns.load()); }

PyObject* clock_repr(PyObject* self) {
    return PyUnicode_FromFormat("SimulatedClock(start_ns=%llu)",
                                static_cast<unsigned long long>(clock_of(self)->now_ns.load()));
}

PyMethodDef kMethods[] = {
    {"advance", as_method(advance), METH_FASTCALL | METH_KEYWORDS,
     "advance($self, seconds)\n--\n\n"
     "Move the clock ahead by `seconds` (a real number >= 0), rounded to whole\n"
     "nanoseconds. ValueError for a negative step or NaN; OverflowError past\n"
     "2**64 - 1 nanoseconds, leaving the clock where it was."},
    {"advance_ns", as_method(advance_ns), METH_FASTCALL | METH_KEYWORDS,
     "advance_ns($self, n)\n--\n\n"
     "Move the clock ahead by `n` nanoseconds (an int >= 0). ValueError for a\n"
     "negative step; OverflowError past 2**64 - 1 nanoseconds, leaving the clock\n"
     "where it was."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"now_ns", get_now_ns, nullptr, "The clock's time, in nanoseconds since the Unix epoch.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef kMembers[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(ClockObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("SimulatedClock(start_ns=0)\n--\n\n"
                                  "A clock that moves only when told to, for running a control loop faster\n"
                                  "than real time: give it as `clock` to Boundary, ReceiptGuard and Watchdog,\n"
                                  "and advance it by one period per period. It reads `start_ns` (an unsigned\n"
                                  "64-bit int, nanoseconds since the Unix epoch) at first and never goes back.\n"
                                  "The objects that hold it read it from C, without calling into Python. Safe\n"
                                  "to share between threads: every step is applied whole.")},
    {Py_tp_new, reinterpret_cast<void*>(clock_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(clock_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(clock_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_members, kMembers},
    {0, nullptr},
};

PyType_Spec kSpec = {"kestrel.SimulatedClock", sizeof(ClockObject), 0, kClassFlags, kSlots};

PyObject* g_type = nullptr;

}  // namespace

PyTypeObject* simulated_clock_type() { return cached_type(g_type, kSpec); }

std::atomic<std::uint64_t>* simulated_clock_counter(PyObject* clock) noexcept {
    // Created when the module was imported: it exists whenever a clock can be given.
    return Py_IS_TYPE(clock, required_type(simulated_clock_type, "SimulatedClock")) ? &clock_of(clock)->now_ns
                                                                                    : nullptr;
}

}  // namespace kestrel::py::native
