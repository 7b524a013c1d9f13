#include "module_init.hpp"

namespace kestrel::py {

namespace {

// claim_interpreter makes the calling interpreter the owner of the module
// for good, or refuses with ImportError when another interpreter owns it:
// the module object is process-wide, so a sub-interpreter cannot have its own.
bool claim_interpreter(std::atomic<std::int64_t>& owner, const char* module_name) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return false;
    }
    // The first interpreter to get here owns the module for good, even if a
    // later step of its import fails.
    std::int64_t expected = -1;
    if (!owner.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_Format(PyExc_ImportError,
                     "%s does not support sub-interpreters: it is already owned by another "
                     "interpreter of this process",
                     module_name);
        return false;
    }
    return true;
}

}  // namespace

PyObject* init_module(ModuleHome& home) {
    if (!claim_interpreter(home.owner, home.definition.m_name)) return nullptr;
    if (home.module == nullptr) {
        Ref module(PyModule_Create(&home.definition));
        if (!module || !home.populate(module.get())) return nullptr;
        home.module = module.release();
    }
    Py_INCREF(home.module);
    return home.module;
}

}  // namespace kestrel::py
