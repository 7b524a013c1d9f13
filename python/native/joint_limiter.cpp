// JointLimiter: up to 32 joints' velocity commands limited once per control
// period, over kestrel_joint_limiter_*. The C state lives inside the object;
// every call converts its arguments first and then runs the C function with
// no Python code in between, so a limiter shared between threads is entered
// by one call at a time.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "fault.hpp"
#include "joint_limits.hpp"
#include "rows.hpp"
#include "vector.hpp"

#include <structmember.h>  // after Python.h

namespace kestrel::py::native {

namespace {

struct LimiterObject {
    PyObject_HEAD PyObject* weakrefs;
    std::uint32_t count;
    double period;
    KestrelJointLimits limits[kMaxJoints];  // to name the joint of a refused reset
    KestrelJointLimiter state;
};

LimiterObject* limiter_of(PyObject* self) { return reinterpret_cast<LimiterObject*>(self); }

// Raises the refusal `error` of init or reset with these arguments, naming
// the joint at fault when there is one ("joint 2: max_jerk must be > 0");
// `first` is the index of the joint limits[0] describes.
PyObject* raise_refusal(KestrelError error, std::uint32_t count, const KestrelJointLimits* limits, double period,
                        const double* positions, const double* velocities, std::uint32_t first = 0) {
    KestrelJointFault fault;
    if (kestrel_joint_limiter_check(count, limits, period, positions, velocities, &fault) != error ||
        fault.message == nullptr) {
        return raise_limiter_error(error);
    }
    const auto joint = static_cast<unsigned>(first + fault.joint);
    // A position or velocity refused is shown with what it was held against.
    if (fault.field == KESTREL_JOINT_POSITION) {
        const KestrelJointLimits& l = limits[fault.joint];
        const Ref given(PyFloat_FromDouble(positions[fault.joint])), low(PyFloat_FromDouble(l.min_position)),
            high(PyFloat_FromDouble(l.max_position));
        if (given && low && high) {
            PyErr_Format(PyExc_ValueError, "joint %u: %s: position %R, limits [%R, %R]", joint, fault.message,
                         given.get(), low.get(), high.get());
        }
        return nullptr;
    }
    if (fault.field == KESTREL_JOINT_VELOCITY) {
        const Ref given(PyFloat_FromDouble(velocities[fault.joint]));
        if (given) PyErr_Format(PyExc_ValueError, "joint %u: %s: velocity %R", joint, fault.message, given.get());
        return nullptr;
    }
    PyErr_Format(PyExc_ValueError, "joint %u: %s", joint, fault.message);
    return nullptr;
}

constexpr const char* kNewParams[] = {"limits", "period", "positions"};
constexpr Signature kNewSignature{"JointLimiter", kNewParams, 2};

PyObject* limiter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* slots[3];
    if (!bind_tuple(kNewSignature, args, kwargs, slots)) return nullptr;
    KestrelJointLimits limits[kMaxJoints];
    std::uint32_t count = 0;
    Seconds given_period;
    Joints start{};
    if (!read_limits(slots[0], false, limits, count) || !argument(kNewSignature, 1, slots[1], given_period)) {
        return nullptr;
    }
    const double period = given_period.value;
    if (slots[2] != nullptr && slots[2] != Py_None && !joints(kNewSignature, 2, slots[2], count, start)) {
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    LimiterObject* limiter = limiter_of(self);
    limiter->count = count;
    limiter->period = period;
    std::copy(limits, limits + count, limiter->limits);
    const KestrelError error = kestrel_joint_limiter_init(&limiter->state, count, limits, period, start.values);
    if (error != KESTREL_OK) {
        Py_DECREF(self);
        return raise_refusal(error, count, limits, period, start.values, nullptr);
    }
    return self;
}

void limiter_dealloc(PyObject* self) {
    if (limiter_of(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    free_instance(self);
}

// The list of new floats for a call's result.
PyObject* float_list(const double* values, std::uint32_t count) {
    Ref list(PyList_New(count));
    if (!list) return nullptr;
    for (std::uint32_t i = 0; i < count; ++i) {
        PyObject* value = PyFloat_FromDouble(values[i]);
        if (value == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), i, value);
    }
    return list.release();
}

// One period of the C limiter: velocities in and out, or positions.
using Step = KestrelError (*)(KestrelJointLimiter*, const double*, double*, std::uint32_t*);

PyObject* advance(const Signature& sig, Step step, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
    PyObject* slots[1];
    if (!bind_fastcall(sig, args, nargs, kwnames, slots)) return nullptr;
    LimiterObject* limiter = limiter_of(self);
    Joints desired;
    if (!joints(sig, 0, slots[0], limiter->count, desired)) return nullptr;
    double limited[kMaxJoints];
    const KestrelError error = step(&limiter->state, desired.values, limited, nullptr);
    if (error != KESTREL_OK) return raise_limiter_error(error);
    return float_list(limited, limiter->count);
}

constexpr const char* kDesiredParams[] = {"desired"};
constexpr Signature kLimitSignature{"limit", kDesiredParams, 1};
constexpr Signature kLimitPositionSignature{"limit_position", kDesiredParams, 1};

PyObject* limit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return advance(kLimitSignature, kestrel_joint_limiter_limit, self, args, nargs, kwnames);
}

PyObject* limit_position(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return advance(kLimitPositionSignature, kestrel_joint_limiter_limit_position, self, args, nargs, kwnames);
}

constexpr const char* kResetParams[] = {"positions", "velocities"};
constexpr Signature kResetSignature{"reset", kResetParams, 1};

PyObject* reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[2];
    if (!bind_fastcall(kResetSignature, args, nargs, kwnames, slots)) return nullptr;
    LimiterObject* limiter = limiter_of(self);
    Joints positions;
    Joints velocities;
    const bool with_velocities = slots[1] != nullptr && slots[1] != Py_None;
    if (!joints(kResetSignature, 0, slots[0], limiter->count, positions) ||
        (with_velocities && !joints(kResetSignature, 1, slots[1], limiter->count, velocities))) {
        return nullptr;
    }
    const double* given = with_velocities ? velocities.values : nullptr;
    const KestrelError error = kestrel_joint_limiter_reset(&limiter->state, positions.values, given);
    if (error != KESTREL_OK) {
        return raise_refusal(error, limiter->count, limiter->limits, limiter->period, positions.values, given);
    }
    Py_RETURN_NONE;
}

constexpr const char* kResetJointParams[] = {"joint", "position", "velocity"};
constexpr Signature kResetJointSignature{"reset_joint", kResetJointParams, 2};

PyObject* reset_joint(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[3];
    if (!bind_fastcall(kResetJointSignature, args, nargs, kwnames, slots)) return nullptr;
    LimiterObject* limiter = limiter_of(self);
    std::uint64_t joint = 0;
    double position = 0.0;
    double velocity = 0.0;
    if (!argument(kResetJointSignature, 0, slots[0], joint) || !argument(kResetJointSignature, 1, slots[1], position) ||
        (slots[2] != nullptr && !argument(kResetJointSignature, 2, slots[2], velocity))) {
        return nullptr;
    }
    if (joint >= limiter->count) {
        PyErr_Format(PyExc_IndexError, "joint %llu is not below the limiter's %u joints",
                     static_cast<unsigned long long>(joint), static_cast<unsigned>(limiter->count));
        return nullptr;
    }
    const auto j = static_cast<std::uint32_t>(joint);
    const KestrelError error = kestrel_joint_limiter_reset_joint(&limiter->state, j, position, velocity);
    if (error != KESTREL_OK) {
        return raise_refusal(error, 1, &limiter->limits[j], limiter->period, &position, &velocity, j);
    }
    Py_RETURN_NONE;
}

constexpr const char* kCouplingParams[] = {"rows", "limits"};
constexpr Signature kCouplingSignature{"set_coupling", kCouplingParams, 2};

PyObject* set_coupling(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[2];
    if (!bind_fastcall(kCouplingSignature, args, nargs, kwnames, slots)) return nullptr;
    LinearConstraints4 rows;
    if (!convert_rows(kCouplingSignature, 0, slots, rows)) return nullptr;
    const KestrelError error = kestrel_joint_limiter_set_coupling(&limiter_of(self)->state, &rows);
    if (error != KESTREL_OK) return raise_limiter_error(error);
    Py_RETURN_NONE;
}

constexpr const char* kPureTrackingParams[] = {"on"};
constexpr Signature kPureTrackingSignature{"set_pure_tracking", kPureTrackingParams, 1};

PyObject* set_pure_tracking(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1];
    if (!bind_fastcall(kPureTrackingSignature, args, nargs, kwnames, slots)) return nullptr;
    // Only a real bool: a number or a string here is more likely a mistake than a switch.
    if (!PyBool_Check(slots[0])) {
        PyErr_Format(PyExc_TypeError, "argument 'on': must be bool, not %.200s", Py_TYPE(slots[0])->tp_name);
        return nullptr;
    }
    const KestrelError error =
        kestrel_joint_limiter_set_pure_tracking(&limiter_of(self)->state, slots[0] == Py_True ? 1u : 0u);
    if (error != KESTREL_OK) return raise_limiter_error(error);
    Py_RETURN_NONE;
}

PyObject* copy(PyObject* self, PyObject*) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject* twin = type->tp_alloc(type, 0);
    if (twin == nullptr) return nullptr;
    // The C state holds no pointers: a byte copy is an independent limiter.
    limiter_of(twin)->count = limiter_of(self)->count;
    limiter_of(twin)->period = limiter_of(self)->period;
    std::memcpy(limiter_of(twin)->limits, limiter_of(self)->limits, sizeof limiter_of(self)->limits);
    std::memcpy(&limiter_of(twin)->state, &limiter_of(self)->state, sizeof(KestrelJointLimiter));
    return twin;
}

// The per-joint state: 0 positions, 1 velocities, 2 accelerations, 3 binding flags.
struct State {
    double values[3][kMaxJoints];
    std::uint32_t binding[kMaxJoints];
};

void read_state(PyObject* self, State& out) {
    const KestrelError error = kestrel_joint_limiter_state(&limiter_of(self)->state, nullptr, out.values[0],
                                                           out.values[1], out.values[2], out.binding);
    if (error != KESTREL_OK) internal_fault("a live joint limiter refused to report its state");
}

// A tuple of one new object per joint, made by item(i); null on the first failure.
template <typename Item>
PyObject* per_joint(PyObject* self, Item item) {
    const std::uint32_t count = limiter_of(self)->count;
    Ref tuple(PyTuple_New(count));
    if (!tuple) return nullptr;
    for (std::uint32_t i = 0; i < count; ++i) {
        PyObject* value = item(i);
        if (value == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i, value);
    }
    return tuple.release();
}

PyObject* get_values(PyObject* self, void* which) {
    State state;
    read_state(self, state);
    const double* values = state.values[reinterpret_cast<std::intptr_t>(which)];
    return per_joint(self, [&](std::uint32_t i) { return PyFloat_FromDouble(values[i]); });
}

PyObject* get_binding(PyObject* self, void*) {
    State state;
    read_state(self, state);
    return per_joint(self, [&](std::uint32_t i) { return new_limit(state.binding[i]); });
}

PyObject* get_recovering(PyObject* self, void*) {
    State state;
    read_state(self, state);
    return per_joint(
        self, [&](std::uint32_t i) { return PyBool_FromLong((state.binding[i] & KESTREL_LIMIT_RECOVERING) != 0); });
}

PyObject* get_coupling_status(PyObject* self, void*) {
    Solution4 last;
    const KestrelError error = kestrel_joint_limiter_coupling_result(&limiter_of(self)->state, &last);
    if (error == KESTREL_ERROR_NOT_COUPLED) Py_RETURN_NONE;
    if (error != KESTREL_OK) internal_fault("a live joint limiter refused its coupling result");
    return solve_status(last.status);
}

Py_ssize_t limiter_length(PyObject* self) { return limiter_of(self)->count; }

PyMethodDef kMethods[] = {
    {"limit", as_method(limit), METH_FASTCALL | METH_KEYWORDS,
     "limit($self, desired)\n--\n\n"
     "Return the velocities to command for the desired ones (a list of floats) and\n"
     "advance one period. `desired` holds one velocity per joint: a sequence of\n"
     "numbers or a 1-D float or double buffer (a numpy array); a bytes object is\n"
     "refused. A NaN or infinite value is a request to stop that joint. ValueError\n"
     "for another number of values. Safe to share between threads."},
    {"limit_position", as_method(limit_position), METH_FASTCALL | METH_KEYWORDS,
     "limit_position($self, desired)\n--\n\n"
     "Return the positions to command for the desired ones (a list of floats) and\n"
     "advance one period, as limit does: each joint moves towards its target as fast\n"
     "as the limits allow and arrives at rest on it without overshoot; a target\n"
     "beyond a position limit stops at the limit. `desired` holds one position per\n"
     "joint, as for limit; a NaN target is a request to stop that joint. The\n"
     "velocities given can be read from `velocities`, the flags from `binding`:\n"
     "a joint cruising at its velocity limit shows none (full speed is what a\n"
     "position command asks for), one accelerating ACCELERATION or JERK (VELOCITY\n"
     "as it lands on the velocity limit), one\n"
     "approaching its target BRAKING, one resting on it POSITION.\n"
     "ValueError for another number of values. Safe to share between threads."},
    {"reset", as_method(reset), METH_FASTCALL | METH_KEYWORDS,
     "reset($self, positions, velocities=None)\n--\n\n"
     "Set the state of every joint: positions inside their limits, velocities\n"
     "(default 0); accelerations 0. Not for every period of a loop with measured\n"
     "positions: see the class docstring, and reset_joint for one joint.\n"
     "ValueError, naming the joint, for a position outside its limits or a\n"
     "velocity that is not finite (or beyond DBL_MAX / 8 * period), with the\n"
     "state unchanged. Safe to share between threads."},
    {"reset_joint", as_method(reset_joint), METH_FASTCALL | METH_KEYWORDS,
     "reset_joint($self, joint, position, velocity=0.0)\n--\n\n"
     "Re-seed one joint from the plant: set its position and velocity (default 0),\n"
     "its acceleration 0 and its flags as reset does; the other joints keep their\n"
     "state. IndexError for a joint index not below len(self); ValueError, naming\n"
     "the joint, for a position outside its limits or a velocity that is not finite,\n"
     "with the state unchanged. Safe to share between threads."},
    {"set_coupling", as_method(set_coupling), METH_FASTCALL | METH_KEYWORDS,
     "set_coupling($self, rows, limits)\n--\n\n"
     "Couple joints 0..3: up to four rows r with sum(r[k] * v[k]) <= limit. The\n"
     "per-joint results are projected onto the rows by the four-axis solver (single\n"
     "precision) inside each joint's allowed interval. An empty `rows` switches the\n"
     "coupling off. Safe to share between threads."},
    {"set_pure_tracking", as_method(set_pure_tracking), METH_FASTCALL | METH_KEYWORDS,
     "set_pure_tracking($self, on)\n--\n\n"
     "Switch the arrival off (True) or back on (False, the default). With arrival on,\n"
     "a joint lands on a constant request without overshoot; pure tracking follows\n"
     "each request as fast as the limits allow and may overshoot a constant one.\n"
     "TypeError for anything but a bool. Safe to share between threads."},
    {"__copy__", copy, METH_NOARGS, "An independent limiter with the same limits and state (a what-if rollout)."},
    {"__deepcopy__", copy, METH_O, "An independent limiter with the same limits and state (a what-if rollout)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"positions", get_values, nullptr, "The last commanded position of every joint.", reinterpret_cast<void*>(0)},
    {"velocities", get_values, nullptr, "The last commanded velocity of every joint.", reinterpret_cast<void*>(1)},
    {"accelerations", get_values, nullptr, "The acceleration of every joint over the last period.",
     reinterpret_cast<void*>(2)},
    {"binding", get_binding, nullptr,
     "The Limit flags of every joint from the last call (after a reset: RECOVERING or none).", nullptr},
    {"recovering", get_recovering, nullptr,
     "For every joint, whether its state lies outside the set its limits hold from\n"
     "(after a reset to such a state), so that its next call may let jerk, then\n"
     "acceleration, give way: the flag Limit.RECOVERING of `binding`.",
     nullptr},
    {"coupling_status", get_coupling_status, nullptr,
     "The four-axis solver's SolveStatus of the last call, or None without coupling.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef kMembers[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(LimiterObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("JointLimiter(limits, period, positions=None)\n--\n\n"
                                  "Limits the velocity commands of up to 32 joints, one call per control period.\n"
                                  "`limits` holds one JointLimits per joint (for identical joints pass\n"
                                  "[limits] * n; a bare JointLimits is refused, since the joint count would be\n"
                                  "a guess). `period` is the control period in seconds. `positions` are the\n"
                                  "start positions (None: 0 for every joint, refused where 0 lies outside a\n"
                                  "joint's limits). Velocities and accelerations start at 0. copy.copy and\n"
                                  "copy.deepcopy give an independent limiter in the same state. Safe to share\n"
                                  "between threads: each call runs whole while it holds the interpreter lock.\n\n"
                                  "The state (positions, velocities, accelerations) is the commands the limiter\n"
                                  "issued, not the plant's: it never reads a sensor. With measured positions,\n"
                                  "keep calling limit and leave the state alone while the plant tracks it; do\n"
                                  "not reset every period (each reset zeroes the acceleration, a jump of up to\n"
                                  "max_acceleration in one period). When a joint's tracking error\n"
                                  "|measured - commanded| exceeds a bound of your choosing (a few times the\n"
                                  "servo's normal error: a collision, a stall, a manual move), re-seed that\n"
                                  "joint with reset_joint(joint, measured_position, measured_velocity): its\n"
                                  "next command may then change the acceleration by up to max_acceleration\n"
                                  "(jerk up to max_acceleration / period for one period), more if the measured\n"
                                  "velocity makes jerk and acceleration give way (recovering); the other joints\n"
                                  "keep their commands.")},
    {Py_tp_new, reinterpret_cast<void*>(limiter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(limiter_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_members, kMembers},
    {Py_sq_length, reinterpret_cast<void*>(limiter_length)},
    {0, nullptr},
};

PyType_Spec kSpec = {"kestrel.JointLimiter", sizeof(LimiterObject), 0, kClassFlags, kSlots};

PyObject* g_type = nullptr;

}  // namespace

PyTypeObject* joint_limiter_type() { return cached_type(g_type, kSpec); }

}  // namespace kestrel::py::native
