// The module kestrel._native: the receiving side of receipts, the four-axis
// projection and the joint limiter, on the C API of kestrel_core.
//
// Every call runs from its first to its last step with the interpreter lock
// held: arguments are converted into C values first (the only step that may
// run Python code), then the C function runs and the result is built. So no
// object is ever entered by two threads at once, and no lock of its own is
// needed.
#pragma once

#include <cstdint>

#include "kestrel.h"
#include "types.hpp"

namespace kestrel::py::native {

// The module's classes (see classes.hpp of _kestrel for the getter contract).
PyTypeObject* receipt_guard_type();  // ReceiptGuard
PyTypeObject* joint_limits_type();   // JointLimits
PyTypeObject* joint_limiter_type();  // JointLimiter
PyTypeObject* boundary_type();       // Boundary
PyTypeObject* watchdog_type();       // Watchdog
PyTypeObject* monitor_type();        // Monitor
PyTypeObject* log_writer_type();     // LogWriter
PyTypeObject* log_verifier_type();   // LogVerifier

// Module-level functions, each list ending with a null entry.
extern PyMethodDef kReceiptFunctions[];     // parse_receipt, verify_receipt, encode_frame, decode_frame
extern PyMethodDef kProjectionFunctions[];  // project_4d
extern PyMethodDef kKeyFunctions[];         // derive_key, read_key_file
extern PyMethodDef kLogFunctions[];         // key_fingerprint

// The Python-defined objects the module hands out or raises: KestrelViolation
// from _kestrel, the rest from kestrel._types. They are fetched on first use,
// not when the module is imported, because kestrel._types builds its enums
// from this module's constants.
struct Imported {
    PyObject* violation;
    PyTypeObject* receipt;  // KestrelReceipt from _kestrel, which Boundary hands out
    PyObject* solve_status[KESTREL_STATUS_NUMERICAL_FAILURE + 1];  // the SolveStatus members by value
    PyObject* projection;                                          // Projection (a named tuple)
    PyObject* receipt_fields;                                      // ReceiptFields (a named tuple)
    PyObject* frame;                                               // Frame (a named tuple)
    PyObject* limit;                                               // Limit (an IntFlag)
    PyObject* monitor_state[KESTREL_MONITOR_TORQUE_OFF + 1];       // the MonitorState members by value
    PyObject* trip;                                                // Trip (a named tuple)
};
// imported returns them, fetching them on the first call; nullptr with the
// import's exception set if they cannot be fetched (a later call tries again).
const Imported* imported();

// add_constants adds the C library's numbers that the package names (KEY_LEN,
// RECEIPT_WIRE_LEN, FRAME_LEN, MAX_JOINTS, STATUS_*, LIMIT_*, MONITOR_*) to the module.
bool add_constants(PyObject* module);

// solve_status returns a new reference to the SolveStatus member of a status
// the C kernels wrote, or nullptr with an exception set; an unknown value is
// an internal fault.
PyObject* solve_status(std::uint32_t status);

// monitor_state returns a new reference to the MonitorState member of a
// state the C monitor wrote, or nullptr with an exception set; an unknown
// value is an internal fault.
PyObject* monitor_state(std::uint32_t state);

// new_limit returns a new Limit of the KESTREL_LIMIT_* bits, or nullptr with
// an exception set.
PyObject* new_limit(std::uint32_t bits);

// new_named_tuple builds an instance of the named tuple class Imported::*type
// from `count` new references, which it takes over (also on failure; a null
// one fails).
PyObject* new_named_tuple(PyObject* Imported::*type, PyObject* const* items, Py_ssize_t count);

// raise_refusal raises KestrelViolation(axis, kestrel_error_name(error),
// kestrel_error_message(error) followed by `hint`) for a receipt the C checks
// refused. Always returns nullptr.
PyObject* raise_refusal(std::int32_t axis, KestrelError error, const char* hint = "");

// raise_limiter_error raises ValueError with the library's message for an
// argument the C limiter refused. Always returns nullptr.
PyObject* raise_limiter_error(KestrelError error);

}  // namespace kestrel::py::native
