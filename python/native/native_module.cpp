// Registration of kestrel._native: single-phase initialisation, owned by the
// first interpreter that imports it, with one module object per process (as
// _kestrel, whose KestrelViolation it raises).
#include "module_init.hpp"
#include "clock_source.hpp"
#include "native.hpp"

namespace kestrel::py::native {

namespace {

PyModuleDef g_definition =
    module_definition("kestrel._native",
                      "The receiving side of receipts, the four-axis projection and the joint limiter, in C.\n\n"
                      "Every call holds the interpreter lock from start to end, so each object is safe\n"
                      "to share between threads. The package `kestrel` re-exports everything here.");

struct ClassEntry {
    const char* name;
    PyTypeObject* (*type)();
};

constexpr ClassEntry kClasses[] = {
    {"ReceiptGuard", receipt_guard_type},     {"JointLimits", joint_limits_type}, {"JointLimiter", joint_limiter_type},
    {"SimulatedClock", simulated_clock_type}, {"Boundary", boundary_type},        {"Watchdog", watchdog_type},
    {"Monitor", monitor_type},                {"LogWriter", log_writer_type},     {"LogVerifier", log_verifier_type},
};

bool populate(PyObject* module) {
    if (!add_constants(module)) return false;
    for (const ClassEntry& entry : kClasses) {
        PyTypeObject* type = entry.type();
        if (type == nullptr || PyModule_AddObjectRef(module, entry.name, reinterpret_cast<PyObject*>(type)) < 0) {
            return false;
        }
    }
    return PyModule_AddFunctions(module, kReceiptFunctions) == 0 &&
           PyModule_AddFunctions(module, kProjectionFunctions) == 0 &&
           PyModule_AddFunctions(module, kKeyFunctions) == 0 && PyModule_AddFunctions(module, kLogFunctions) == 0;
}

ModuleHome g_home{g_definition, populate};

}  // namespace

}  // namespace kestrel::py::native

PyMODINIT_FUNC PyInit__native(void) { return kestrel::py::init_module(kestrel::py::native::g_home); }
