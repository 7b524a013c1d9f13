// The C library's numbers that the package names: the byte lengths of keys,
// receipts and frames, the joint limiter's size, the receipt log's longest line, the solver's statuses, the
// limit flags and the monitor's states. The package builds its enums from these, so each number is
// written once, in the C headers.
#include "native.hpp"

namespace kestrel::py::native {

namespace {

struct Constant {
    const char* name;
    unsigned long value;
};

constexpr Constant kConstants[] = {
    {"KEY_LEN", KESTREL_KEY_LEN},
    {"RECEIPT_WIRE_LEN", KESTREL_RECEIPT_WIRE_LEN},
    {"FRAME_LEN", KESTREL_FRAME_LEN},
    {"MAX_JOINTS", KESTREL_JOINT_LIMITER_MAX_JOINTS},
    {"LOG_READ_MAX", KESTREL_LOG_READ_MAX},
    {"STATUS_INVALID_INPUT", KESTREL_STATUS_INVALID_INPUT},
    {"STATUS_OPTIMAL", KESTREL_STATUS_OPTIMAL},
    {"STATUS_MAX_ITERATIONS", KESTREL_STATUS_MAX_ITERATIONS},
    {"STATUS_INFEASIBLE", KESTREL_STATUS_INFEASIBLE},
    {"STATUS_NUMERICAL_FAILURE", KESTREL_STATUS_NUMERICAL_FAILURE},
    {"LIMIT_POSITION", KESTREL_LIMIT_POSITION},
    {"LIMIT_BRAKING", KESTREL_LIMIT_BRAKING},
    {"LIMIT_VELOCITY", KESTREL_LIMIT_VELOCITY},
    {"LIMIT_ACCELERATION", KESTREL_LIMIT_ACCELERATION},
    {"LIMIT_JERK", KESTREL_LIMIT_JERK},
    {"LIMIT_ACCELERATION_YIELDED", KESTREL_LIMIT_ACCELERATION_YIELDED},
    {"LIMIT_JERK_YIELDED", KESTREL_LIMIT_JERK_YIELDED},
    {"LIMIT_STOP_REQUEST", KESTREL_LIMIT_STOP_REQUEST},
    {"LIMIT_COUPLING", KESTREL_LIMIT_COUPLING},
    {"LIMIT_ARRIVAL", KESTREL_LIMIT_ARRIVAL},
    {"LIMIT_COUPLING_UNMET", KESTREL_LIMIT_COUPLING_UNMET},
    {"LIMIT_RECOVERING", KESTREL_LIMIT_RECOVERING},
    {"MONITOR_RUN", KESTREL_MONITOR_RUN},
    {"MONITOR_STOPPING", KESTREL_MONITOR_STOPPING},
    {"MONITOR_STANDSTILL", KESTREL_MONITOR_STANDSTILL},
    {"MONITOR_TORQUE_OFF", KESTREL_MONITOR_TORQUE_OFF},
};

}  // namespace

bool add_constants(PyObject* module) {
    for (const Constant& constant : kConstants) {
        const Ref value(PyLong_FromUnsignedLong(constant.value));
        if (!value || PyModule_AddObjectRef(module, constant.name, value.get()) < 0) return false;
    }
    return true;
}

}  // namespace kestrel::py::native
