// The one way both extension modules are initialised: single-phase, owned by
// the first interpreter that imports them, one module object per process.
#pragma once

#include <atomic>
#include <cstdint>

#include "py_ref.hpp"

namespace kestrel::py {

// module_definition returns the definition of a module with no per-module
// state, no module-level methods table and no slots: what both modules are.
inline PyModuleDef module_definition(const char* name, const char* doc) noexcept {
    PyModuleDef definition = {PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
    return definition;
}

// What a module's init function keeps for the life of the process.
struct ModuleHome {
    PyModuleDef& definition;
    bool (*populate)(PyObject* module);   // adds the module's names; false with an exception set
    std::atomic<std::int64_t> owner{-1};  // the owning interpreter's id, -1 until the first import
    PyObject* module = nullptr;           // the populated module, kept once an import has succeeded
};

// init_module is the whole body of a PyInit function: it refuses an
// interpreter other than the owner (ImportError), hands out the kept module
// again, or creates and populates it. A failed import keeps nothing, so a
// later import starts again; the ownership, though, is taken for good.
// Returns a new reference, or nullptr with an exception set.
PyObject* init_module(ModuleHome& home);

}  // namespace kestrel::py
