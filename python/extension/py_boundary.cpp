// KestrelBoundary: the Python face of the core's Boundary. It converts the
// arguments, supplies the development key, and turns each outcome into a
// KestrelReceipt or the exception the error catalogue words.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

#include "classes.hpp"
#include "convert.hpp"
#include "decimal_text.hpp"
#include "boundary/boundary.hpp"
#include "errors/error_catalogue.hpp"
#include "boundary/random_source.hpp"
#include "py_receipt.hpp"
#include "violation.hpp"

namespace kestrel::py {

namespace {

// The key of boundaries built without one. For development only: it is in
// every copy of this library, so a deployment passes its own hmac_key.
constexpr std::uint8_t kDefaultKey[KEY_LEN] = {'K', 'E', 'S', 'T', 'R', 'E', 'L', '-', 'D', 'E', 'V',
                                               'E', 'L', 'O', 'P', 'M', 'E', 'N', 'T', '-', 'O', 'N',
                                               'L', 'Y', '-', 'K', 'E', 'Y', '-', 'v', '1', '.'};

// Whether the built-in key has been warned about. Once per process: a script
// that tries things builds many boundaries, and one line says it all. Read
// and set with the interpreter lock held.
bool g_warned_built_in_key = false;

// warn_built_in_key issues the RuntimeWarning for a boundary built without a
// key, the first time only; false if the warning was raised as an error.
bool warn_built_in_key() {
    if (g_warned_built_in_key) return true;
    if (PyErr_WarnEx(PyExc_RuntimeWarning,
                     "KestrelBoundary() without hmac_key signs with the built-in key, which is public (every copy "
                     "of this library holds it): fine for trying things, never for a robot; pass hmac_key",
                     1) < 0) {
        return false;  // not marked: under -W error every such boundary is refused
    }
    g_warned_built_in_key = true;
    return true;
}

struct BoundaryObject {
    PyObject_HEAD Boundary core;  // built in place by tp_new
};
static_assert(alignof(BoundaryObject) <= alignof(std::max_align_t), "the interpreter's allocator aligns this far");

constexpr const char* kNewParams[] = {"rate_limit", "max_velocity_rad_s", "monotonic_window_size", "hmac_key"};
constexpr Signature kNewSignature{"KestrelBoundary", kNewParams, 0};

PyObject* boundary_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* slots[4];
    if (!bind_tuple(kNewSignature, args, kwargs, slots)) return nullptr;
    std::uint64_t rate_limit = 1000;
    double max_velocity = 4.18;
    std::uint64_t window_size = 64;  // accepted and converted; the nonce window stays at 1024
    if (slots[0] != nullptr && !argument(kNewSignature, 0, slots[0], rate_limit)) return nullptr;
    if (slots[1] != nullptr && !argument(kNewSignature, 1, slots[1], max_velocity)) return nullptr;
    if (slots[2] != nullptr && !argument(kNewSignature, 2, slots[2], window_size)) return nullptr;

    Key key = Key::from_bytes(kDefaultKey);
    if (slots[3] == nullptr || slots[3] == Py_None) {
        if (!warn_built_in_key()) return nullptr;
    } else {
        ByteView key_bytes;
        if (!argument(kNewSignature, 3, slots[3], key_bytes)) return nullptr;
        if (key_bytes.size != KEY_LEN) {
            PyErr_SetString(PyExc_ValueError, "hmac_key must be exactly 32 bytes");
            return nullptr;
        }
        std::memcpy(key.data(), key_bytes.data, KEY_LEN);
    }

    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) new (&reinterpret_cast<BoundaryObject*>(self)->core) Boundary(key, rate_limit, max_velocity);
    return self;
}

void boundary_dealloc(PyObject* self) {
    reinterpret_cast<BoundaryObject*>(self)->core.~Boundary();  // wipes the key
    free_instance(self);
}

PyObject* refuse_velocity(std::int32_t axis, double velocity, double limit) {
    char message[kVelocityRefusalCapacity];
    return raise_violation(axis, error_text(KESTREL_ERROR_VELOCITY_EXCEEDED).name,
                           velocity_refusal_text(velocity, limit, message));
}

constexpr const char* kAuthorizeParams[] = {"target_axis", "requested_position", "commanded_velocity"};
constexpr Signature kAuthorizeSignature{"authorize_action", kAuthorizeParams, 3};

PyObject* authorize_action(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[3];
    if (!bind_fastcall(kAuthorizeSignature, args, nargs, kwnames, slots)) return nullptr;
    std::int32_t axis = 0;
    double position = 0.0;
    double velocity = 0.0;
    if (!argument(kAuthorizeSignature, 0, slots[0], axis) || !argument(kAuthorizeSignature, 1, slots[1], position) ||
        !argument(kAuthorizeSignature, 2, slots[2], velocity)) {
        return nullptr;
    }
    // The method descriptor has already checked the receiver's type.
    Boundary& core = reinterpret_cast<BoundaryObject*>(self)->core;

    // Every Python object is made after the boundary has released its lock.
    const Authorization a = core.authorize(axis, position, velocity);
    switch (a.outcome) {
        case AuthorizeOutcome::Authorized:
            return new_receipt(a.receipt, a.action_id, a.payload);
        case AuthorizeOutcome::VelocityExceeded:
            return refuse_velocity(axis, velocity, core.max_velocity());
        case AuthorizeOutcome::RateLimited: {
            const ErrorText text = error_text(KESTREL_ERROR_RATE_LIMITED);
            return raise_violation(axis, text.name, text.message);
        }
        case AuthorizeOutcome::RandomSourceFailed:
            PyErr_Format(PyExc_RuntimeError, kRandomSourceFormat, random_failure_text(a.random_error));
            return nullptr;
        case AuthorizeOutcome::Refused:
            return kestrel_error_to_py_err(axis, a.refusal);
    }
    return nullptr;
}

PyMethodDef kMethods[] = {
    {"authorize_action", as_method(authorize_action), METH_FASTCALL | METH_KEYWORDS,
     "authorize_action($self, target_axis, requested_position, commanded_velocity)\n--\n\n"
     "Authorize a single actuator command and return a signed receipt."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("KestrelBoundary(rate_limit=1000, max_velocity_rad_s=4.18, monotonic_window_size=64, "
                       "hmac_key=None)\n--\n\nDeterministic edge governor that authorizes physical actions.")},
    {Py_tp_new, reinterpret_cast<void*>(boundary_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boundary_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.KestrelBoundary", sizeof(BoundaryObject), 0, kClassFlags, kSlots};

PyObject* g_type = nullptr;

}  // namespace

PyTypeObject* boundary_type() { return cached_type(g_type, kSpec); }

}  // namespace kestrel::py
