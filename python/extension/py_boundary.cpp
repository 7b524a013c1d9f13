// KestrelBoundary: the Python face of the core's Boundary. It converts the
// arguments and supplies the development key; the defaults, the key rules and
// the answer to each outcome are those of kestrel.Boundary (boundary_face.hpp).
#include <cstddef>
#include <cstring>
#include <new>

#include "boundary_face.hpp"
#include "classes.hpp"
#include "convert.hpp"

namespace kestrel::py {

namespace {

// The key of boundaries built without one. For development only: it is in
// every copy of this library, so a deployment passes its own hmac_key.
constexpr std::uint8_t kDefaultKey[KESTREL_KEY_LEN] = {'K', 'E', 'S', 'T', 'R', 'E', 'L', '-', 'D', 'E', 'V',
                                                       'E', 'L', 'O', 'P', 'M', 'E', 'N', 'T', '-', 'O', 'N',
                                                       'L', 'Y', '-', 'K', 'E', 'Y', '-', 'v', '1', '.'};

// Whether the built-in key, and a key of 32 zero bytes, have been warned
// about. Once per process: a script that tries things builds many
// boundaries, and one line says it all. Read and set with the interpreter
// lock held.
bool g_warned_built_in_key = false;
bool g_warned_zero_key = false;

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

// warn_zero_key does the same for an hmac_key of 32 zero bytes, which the
// class takes (any 32 bytes are a key to it) but never silently.
bool warn_zero_key(const Key& key) {
    if (g_warned_zero_key || !key.is_zero()) return true;
    if (!zero_key_rule(key, ZeroKey::warn, "KestrelBoundary", "hmac_key", "every receipt it signs could be forged")) {
        return false;
    }
    g_warned_zero_key = true;
    return true;
}

struct BoundaryObject {
    PyObject_HEAD
    Boundary core;  // built in place by tp_new
};
static_assert(alignof(BoundaryObject) <= alignof(std::max_align_t), "the interpreter's allocator aligns this far");

constexpr const char* kNewParams[] = {"rate_limit", "max_velocity_rad_s", "monotonic_window_size", "hmac_key"};
constexpr Signature kNewSignature{"KestrelBoundary", kNewParams, 0};

PyObject* boundary_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* slots[4];
    if (!bind_tuple(kNewSignature, args, kwargs, slots)) return nullptr;
    std::uint64_t rate_limit = kDefaultRateLimit;
    double max_velocity = kDefaultMaxVelocity;
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
        if (key_bytes.size != KESTREL_KEY_LEN) {
            PyErr_SetString(PyExc_ValueError, "hmac_key must be exactly 32 bytes");
            return nullptr;
        }
        std::memcpy(key.data(), key_bytes.data, KESTREL_KEY_LEN);
        if (!warn_zero_key(key)) return nullptr;
    }

    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) new (&reinterpret_cast<BoundaryObject*>(self)->core) Boundary(key, rate_limit, max_velocity);
    return self;
}

void boundary_dealloc(PyObject* self) {
    reinterpret_cast<BoundaryObject*>(self)->core.~Boundary();  // wipes the key
    free_instance(self);
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
    const AnswerClasses classes{reinterpret_cast<PyObject*>(required_type(violation_type, "KestrelViolation")),
                                required_type(receipt_type, "KestrelReceipt")};
    // Every Python object is made after the boundary has released its lock.
    return answer(core.authorize(axis, position, velocity), axis, velocity, classes);
}

PyMethodDef kMethods[] = {
    {"authorize_action", as_method(authorize_action), METH_FASTCALL | METH_KEYWORDS,
     "authorize_action($self, target_axis, requested_position, commanded_velocity)\n--\n\n"
     "Authorize a single actuator command and return a signed receipt."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("KestrelBoundary(" KESTREL_PY_BOUNDARY_LIMITS ", monotonic_window_size=64, "
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
