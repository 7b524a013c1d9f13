// Watchdog: the actuator side's watchdog, over kestrel_watchdog_*. The C
// state lives inside the object; its clock is the object's ClockSource.
#include <new>

#include "clock_source.hpp"
#include "fault.hpp"
#include "native.hpp"

#include <structmember.h>  // after Python.h

namespace kestrel::py::native {

namespace {

struct WatchdogObject {
    PyObject_HEAD
    PyObject* weakrefs;
    ClockSource clock;
    KestrelWatchdog state;
};

WatchdogObject* watchdog_of(PyObject* self) { return reinterpret_cast<WatchdogObject*>(self); }

constexpr const char* kNewParams[] = {"timeout", "clock"};
constexpr Signature kNewSignature{"Watchdog", kNewParams, 1, 1};

PyObject* watchdog_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* slots[2];
    std::uint64_t timeout_ns = 0;
    if (!bind_tuple(kNewSignature, args, kwargs, slots) ||
        !convert_seconds(kNewSignature, 0, slots[0], false, timeout_ns)) {
        return nullptr;
    }
    const Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    WatchdogObject* object = watchdog_of(self.get());
    new (&object->clock) ClockSource();
    if (!object->clock.set(kNewSignature, 1, slots[1]) || !object->clock.prepare()) return nullptr;
    if (kestrel_watchdog_init(&object->state, timeout_ns, object->clock.function(), object->clock.context()) != 0) {
        internal_fault("a watchdog with a timeout > 0 was refused");
    }
    return Ref::borrow(self.get()).release();
}

void watchdog_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    WatchdogObject* object = watchdog_of(self);
    if (object->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    object->clock.~ClockSource();
    free_instance(self);
}

int watchdog_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return watchdog_of(self)->clock.traverse(visit, arg);
}

PyObject* feed(PyObject* self, PyObject*) {
    WatchdogObject* object = watchdog_of(self);
    if (!object->clock.prepare()) return nullptr;
    if (kestrel_watchdog_feed(&object->state) != 0) internal_fault("a live watchdog refused a feed");
    Py_RETURN_NONE;
}

PyObject* get_expired(PyObject* self, void*) {
    WatchdogObject* object = watchdog_of(self);
    if (!object->clock.prepare()) return nullptr;
    std::uint32_t expired = 0;
    if (kestrel_watchdog_expired(&object->state, &expired) != 0) internal_fault("a live watchdog refused to answer");
    return PyBool_FromLong(expired != 0);
}

PyMethodDef kMethods[] = {
    {"feed", feed, METH_NOARGS,
     "feed($self, /)\n--\n\n"
     "Record that a command was accepted now: call it after each command the\n"
     "receiving side accepted, never for a refused one. An expired watchdog is no\n"
     "longer expired after a feed."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"expired", get_expired, nullptr,
     "True once `timeout` seconds or more passed on the clock since the last feed\n"
     "(or since the watchdog was made). Reads the clock each time. With the wall\n"
     "clock, a reading before the last feed (the clock was set back) counts as\n"
     "expired too.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef kMembers[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(WatchdogObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Watchdog(timeout, *, clock=None)\n--\n\n"
                                  "The actuator side's watchdog: it has expired once no command was accepted\n"
                                  "for `timeout` seconds (a real number > 0, kept in whole nanoseconds, at least\n"
                                  "one; ValueError otherwise). A dead link, a hung controller and a stream of\n"
                                  "refused commands look alike to it. On expiry, ask the actuator side's own\n"
                                  "JointLimiter for a stop (NaN for every joint) each period until the next\n"
                                  "feed: the joints then come to rest within their limits. `clock` is a\n"
                                  "SimulatedClock, a callable returning int nanoseconds since the Unix epoch\n"
                                  "(called at construction, at each feed and each reading of `expired`; its\n"
                                  "exception, or TypeError for a result that is not an int, is raised\n"
                                  "instead), or None for the wall clock. Time read from a clock never goes\n"
                                  "back. Safe to share between threads.")},
    {Py_tp_new, reinterpret_cast<void*>(watchdog_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(watchdog_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(watchdog_traverse)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_members, kMembers},
    {0, nullptr},
};

PyType_Spec kSpec = {"kestrel.Watchdog", sizeof(WatchdogObject), 0, kClassFlags | Py_TPFLAGS_HAVE_GC, kSlots};

PyObject* g_type = nullptr;

}  // namespace

PyTypeObject* watchdog_type() { return cached_type(g_type, kSpec); }

}  // namespace kestrel::py::native
