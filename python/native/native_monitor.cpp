// Monitor: the drive safety functions on measured motion, over
// kestrel_monitor_*. The C state lives inside the object; its clock is the
// object's ClockSource. Every call converts its arguments first and then runs
// the C function with no Python code in between.
#include <new>

#include "clock_source.hpp"
#include "fault.hpp"
#include "joint_limits.hpp"

#include <structmember.h>  // after Python.h

namespace kestrel::py::native {

namespace {

struct MonitorObject {
    PyObject_HEAD PyObject* weakrefs;
    ClockSource clock;
    std::uint32_t count;
    KestrelMonitor state;
};

MonitorObject* monitor_of(PyObject* self) { return reinterpret_cast<MonitorObject*>(self); }

constexpr const char* kNewParams[] = {"limits",         "clock", "position_tolerance", "velocity_tolerance",
                                      "standstill_velocity", "stop"};
constexpr Signature kNewSignature{"Monitor", kNewParams, 1, 5};

// The argument 'stop': "ss1" or "ss2".
bool read_stop(PyObject* given, KestrelMonitorStop& stop) {
    Text text;
    if (!argument(kNewSignature, 5, given, text)) return false;
    if (PyUnicode_CompareWithASCIIString(text.str.get(), "ss1") == 0) {
        stop = KESTREL_MONITOR_SS1;
    } else if (PyUnicode_CompareWithASCIIString(text.str.get(), "ss2") == 0) {
        stop = KESTREL_MONITOR_SS2;
    } else {
        PyErr_Format(PyExc_ValueError, "argument 'stop': must be \"ss1\" or \"ss2\", not %R", given);
        return false;
    }
    return true;
}

PyObject* monitor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* slots[6];
    if (!bind_tuple(kNewSignature, args, kwargs, slots)) return nullptr;
    KestrelJointLimits limits[kMaxJoints];
    std::uint32_t count = 0;
    KestrelMonitorConfig config{0.0, 0.0, 0.01, KESTREL_MONITOR_SS1};
    if (!read_limits(slots[0], true, limits, count)) return nullptr;
    double* numbers[] = {&config.position_tolerance, &config.velocity_tolerance, &config.standstill_velocity};
    for (std::size_t i = 0; i < 3; ++i) {
        if (slots[2 + i] != nullptr && !argument(kNewSignature, 2 + i, slots[2 + i], *numbers[i])) return nullptr;
    }
    if (slots[5] != nullptr && !read_stop(slots[5], config.stop)) return nullptr;
    KestrelJointFault fault;
    if (kestrel_monitor_check_limits(count, limits, &fault) != KESTREL_OK) {
        PyErr_Format(PyExc_ValueError, "joint %u: %s", static_cast<unsigned>(fault.joint), fault.message);
        return nullptr;
    }
    const char* message = nullptr;
    if (kestrel_monitor_check_config(&config, &message) != KESTREL_OK) {
        PyErr_SetString(PyExc_ValueError, message);
        return nullptr;
    }
    const Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    MonitorObject* object = monitor_of(self.get());
    new (&object->clock) ClockSource();
    if (!object->clock.set(kNewSignature, 1, slots[1])) return nullptr;
    object->count = count;
    if (kestrel_monitor_init(&object->state, count, limits, &config, object->clock.function(),
                             object->clock.context()) != KESTREL_OK) {
        internal_fault("a monitor whose limits and config were checked was refused");
    }
    return Ref::borrow(self.get()).release();
}

void monitor_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    MonitorObject* object = monitor_of(self);
    if (object->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    object->clock.~ClockSource();
    free_instance(self);
}

int monitor_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return monitor_of(self)->clock.traverse(visit, arg);
}

constexpr const char* kCheckParams[] = {"positions", "velocities"};
constexpr Signature kCheckSignature{"check", kCheckParams, 2};

PyObject* check(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[2];
    if (!bind_fastcall(kCheckSignature, args, nargs, kwnames, slots)) return nullptr;
    MonitorObject* object = monitor_of(self);
    Joints positions, velocities;
    if (!joints(kCheckSignature, 0, slots[0], object->count, positions) ||
        !joints(kCheckSignature, 1, slots[1], object->count, velocities) || !object->clock.prepare()) {
        return nullptr;
    }
    KestrelMonitorState state = KESTREL_MONITOR_TORQUE_OFF;
    if (kestrel_monitor_check(&object->state, positions.values, velocities.values, &state) != KESTREL_OK) {
        internal_fault("a live monitor refused a check");
    }
    return monitor_state(state);
}

PyObject* request_stop(PyObject* self, PyObject*) {
    MonitorObject* object = monitor_of(self);
    if (!object->clock.prepare()) return nullptr;
    if (kestrel_monitor_request_stop(&object->state) != KESTREL_OK) internal_fault("a live monitor refused a stop");
    Py_RETURN_NONE;
}

PyObject* acknowledge(PyObject* self, PyObject*) {
    std::uint32_t acknowledged = 0;
    if (kestrel_monitor_acknowledge(&monitor_of(self)->state, &acknowledged) != KESTREL_OK) {
        internal_fault("a live monitor refused an acknowledge");
    }
    return PyBool_FromLong(acknowledged != 0);
}

// A Trip, or None for KESTREL_TRIP_NONE.
PyObject* new_trip(const KestrelTrip& trip) {
    if (trip.function == KESTREL_TRIP_NONE) Py_RETURN_NONE;
    const char* name = kestrel_safety_function_name(trip.function);
    if (name == nullptr) internal_fault("the monitor recorded an unknown safety function");
    PyObject* items[] = {PyUnicode_FromString(name), PyLong_FromUnsignedLong(trip.joint),
                         PyFloat_FromDouble(trip.value), PyFloat_FromDouble(trip.limit),
                         PyLong_FromUnsignedLongLong(trip.time_ns)};
    return new_named_tuple(&Imported::trip, items, 5);
}

PyObject* get_state(PyObject* self, void*) {
    KestrelMonitorState state = 0;
    if (kestrel_monitor_status(&monitor_of(self)->state, &state, nullptr) != KESTREL_OK) {
        internal_fault("a live monitor refused its status");
    }
    return monitor_state(state);
}

// One of the monitor's trip records, read by `read`.
template <KestrelError (*read)(const KestrelMonitor*, KestrelTrip*)>
PyObject* get_trip(PyObject* self, void*) {
    KestrelTrip trip{};
    if (read(&monitor_of(self)->state, &trip) != KESTREL_OK) internal_fault("a live monitor refused its trips");
    return new_trip(trip);
}

KestrelError first_trip(const KestrelMonitor* monitor, KestrelTrip* trip) {
    return kestrel_monitor_status(monitor, nullptr, trip);
}

PyMethodDef kMethods[] = {
    {"check", as_method(check), METH_FASTCALL | METH_KEYWORDS,
     "check($self, /, positions, velocities)\n--\n\n"
     "Judge one period's measured positions and velocities (one real number per\n"
     "joint each, the buffers JointLimiter takes) and return the MonitorState\n"
     "after it. Call it once per control period. A NaN or infinite value trips\n"
     "(\"measurement\"), as every broken limit does; ValueError names the argument\n"
     "of another length. The rules: kestrel_monitor.h."},
    {"request_stop", request_stop, METH_NOARGS,
     "request_stop($self, /)\n--\n\n"
     "An operator stop or a watchdog's expiry: in RUN, trip as \"request\" and\n"
     "start the stop from the last check's measurement (so command the stop to\n"
     "the limiter in this same period); in any other state, nothing."},
    {"acknowledge", acknowledge, METH_NOARGS,
     "acknowledge($self, /)\n--\n\n"
     "Leave TORQUE_OFF or STANDSTILL for RUN and forget the trips, if the last\n"
     "check measured every joint finite, under standstill_velocity and inside its\n"
     "position limits: True. Otherwise False, nothing changes, and `refusal` says\n"
     "why. True in RUN; False while STOPPING."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"state", get_state, nullptr, "The current MonitorState.", nullptr},
    {"trip", get_trip<first_trip>, nullptr,
     "The first Trip since the last acknowledge, or None: what stopped the robot.", nullptr},
    {"last_trip", get_trip<kestrel_monitor_last_trip>, nullptr,
     "The latest Trip since the last acknowledge (the first, or a later one of the\n"
     "stop that cut the torque), or None.",
     nullptr},
    {"refusal", get_trip<kestrel_monitor_refusal>, nullptr,
     "Why the last acknowledge refused, as a Trip (\"SS1\"/\"SS2\": still stopping;\n"
     "\"measurement\": not finite; \"SOS\": a joint still moving; \"SLP\": a joint\n"
     "outside its limits), or None.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef kMembers[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(MonitorObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "Monitor(limits, *, clock=None, position_tolerance=0.0, velocity_tolerance=0.0, standstill_velocity=0.01, "
         "stop='ss1')\n--\n\n"
         "A safety monitor on the measured motion of up to 32 joints, with the stop\n"
         "and limit functions of drives: SLS (speed above max_velocity times\n"
         "1 + velocity_tolerance), SLP (a position beyond its limits by more than\n"
         "position_tolerance, or a joint that can no longer stop before them under\n"
         "its acceleration and jerk limits, by the JointLimiter's own braking law),\n"
         "a request or an unjudgeable measurement start the stop (`stop`, \"ss1\" or\n"
         "\"ss2\"), whose speed is watched under a ramp and a deadline; SS1 ends in\n"
         "TORQUE_OFF, SS2 in STANDSTILL (SOS). Both latch until acknowledge().\n"
         "`limits` is a sequence of JointLimits, one per joint, or the dict that\n"
         "load_joint_limits returns; every max_velocity and max_acceleration must be\n"
         "finite (ValueError naming the joint and field). `clock` is a\n"
         "SimulatedClock, a callable returning int nanoseconds since the Unix epoch\n"
         "(called at each check and request_stop), or None for the wall clock. A\n"
         "software monitor carries no SIL or PL rating: see the manual.")},
    {Py_tp_new, reinterpret_cast<void*>(monitor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(monitor_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(monitor_traverse)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_members, kMembers},
    {0, nullptr},
};

PyType_Spec kSpec = {"kestrel.Monitor", sizeof(MonitorObject), 0, kClassFlags | Py_TPFLAGS_HAVE_GC, kSlots};

PyObject* g_type = nullptr;

}  // namespace

PyTypeObject* monitor_type() { return cached_type(g_type, kSpec); }

}  // namespace kestrel::py::native
