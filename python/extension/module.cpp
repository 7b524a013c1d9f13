// Registration of the _kestrel module: single-phase initialisation, owned by
// the first interpreter that imports it, with one module object per process.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "classes.hpp"
#include "convert.hpp"
#include "fault.hpp"
#include "kestrel_version.h"

namespace kestrel::py {

void internal_fault(const char* what) noexcept {
    std::fprintf(stderr, "kestrel: internal fault: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

PyTypeObject* cached_type(PyObject*& cache, PyType_Spec& spec, PyObject* base) {
    if (cache == nullptr) cache = PyType_FromSpecWithBases(&spec, base);
    return reinterpret_cast<PyTypeObject*>(cache);
}

void free_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyTypeObject* required_type(PyTypeObject* (*getter)(), const char* class_name) noexcept {
    PyTypeObject* type = getter();
    if (type == nullptr) {
        PyErr_Print();
        std::fprintf(stderr, "kestrel: internal fault: cannot create the type object of %s\n", class_name);
        std::abort();
    }
    return type;
}

namespace {

// The interpreter that owns the module, -1 until the first import.
std::atomic<std::int64_t> g_owner_interpreter{-1};
// The one module object, kept once populated.
PyObject* g_module = nullptr;

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "_kestrel",
    "Python module registration.",
    0,  // no per-module state
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// add_name appends `name` to the module's __all__ (creating the list when
// absent), then sets the attribute. Any failure, a failed append included,
// fails the import the same way: the module is not kept and a later import
// starts again.
bool add_name(PyObject* module, const char* name, PyObject* value) {
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    } else if (!PyList_Check(all.get())) {
        set_cannot_convert(all.get(), "PyList");
        return false;
    }
    const Ref text(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
    return PyObject_SetAttrString(module, name, value) == 0;
}

struct ClassEntry {
    const char* name;
    PyTypeObject* (*type)();
};

// Registration order is part of the interface (it is the order of __all__).
constexpr ClassEntry kClasses[] = {
    {"KestrelBoundary", boundary_type},
    {"KestrelReceipt", receipt_type},
    {"KestrelViolation", violation_type},
    {"MonotonicCounter", counter_type},
    {"Governor", governor_type},
};

// The module's version belongs to its fixed surface: it stays while the
// library underneath (KESTREL_VERSION_STRING) moves on.
constexpr const char* kModuleVersion = "0.2.0";

bool populate(PyObject* module) {
    const Ref version(PyUnicode_FromString(kModuleVersion));
    if (!version || !add_name(module, "__version__", version.get())) return false;
    for (const ClassEntry& entry : kClasses) {
        PyTypeObject* type = entry.type();
        if (type == nullptr) return false;
        if (!add_name(module, entry.name, reinterpret_cast<PyObject*>(type))) return false;
    }
    return true;
}

}  // namespace

}  // namespace kestrel::py

PyMODINIT_FUNC PyInit__kestrel(void) {
    using namespace kestrel::py;

    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    // The first interpreter to get here owns the module for good, even if a
    // later step of its import fails.
    std::int64_t owner = -1;
    if (!g_owner_interpreter.compare_exchange_strong(owner, id) && owner != id) {
        PyErr_SetString(PyExc_ImportError,
                        "_kestrel does not support sub-interpreters: it is already owned by another "
                        "interpreter of this process");
        return nullptr;
    }

    if (g_module != nullptr) {
        Py_INCREF(g_module);
        return g_module;
    }
    Ref module(PyModule_Create(&g_definition));
    if (!module || !populate(module.get())) return nullptr;  // not kept: the next import retries
    g_module = module.release();
    Py_INCREF(g_module);
    return g_module;
}
