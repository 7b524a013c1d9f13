// Registration of the _kestrel module: single-phase initialisation, owned by
// the first interpreter that imports it, with one module object per process.
#include "classes.hpp"
#include "convert.hpp"
#include "module_init.hpp"

namespace kestrel::py {

namespace {

PyModuleDef g_definition = module_definition("_kestrel", "Python module registration.");

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
    {"KestrelBoundary", boundary_type}, {"KestrelReceipt", receipt_type}, {"KestrelViolation", violation_type},
    {"MonotonicCounter", counter_type}, {"Governor", governor_type},
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

ModuleHome g_home{g_definition, populate};

}  // namespace

}  // namespace kestrel::py

PyMODINIT_FUNC PyInit__kestrel(void) { return kestrel::py::init_module(kestrel::py::g_home); }
