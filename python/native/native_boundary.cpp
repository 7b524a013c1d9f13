// Boundary: the package's signing boundary, the core's Boundary with a clock
// of the caller's choosing. Its defaults, key rules, refusals and receipts are
// those of _kestrel.KestrelBoundary (boundary_face.hpp); it adds the clock and
// rekeying, and requires a key.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

#include "boundary_face.hpp"
#include "clock_source.hpp"
#include "joint_limits.hpp"
#include "receipt_args.hpp"

#include <structmember.h>  // after Python.h

namespace kestrel::py::native {

namespace {

struct BoundaryObject {
    PyObject_HEAD
    PyObject* weakrefs;
    ClockSource clock;  // before `core`, which reads it from its construction on
    bool built;         // `core` is constructed
    Boundary core;
};
static_assert(alignof(BoundaryObject) <= alignof(std::max_align_t), "the interpreter's allocator aligns this far");

BoundaryObject* boundary_of(PyObject* self) { return reinterpret_cast<BoundaryObject*>(self); }

constexpr const char* kNewParams[] = {"hmac_key", "rate_limit", "max_velocity_rad_s", "clock", "limits"};
constexpr Signature kNewSignature{"Boundary", kNewParams, 1, 2};

PyObject* boundary_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* slots[5];
    if (!bind_tuple(kNewSignature, args, kwargs, slots)) return nullptr;
    KestrelJointLimits limits[kMaxJoints];
    std::uint32_t axes = 0;  // 0: no limits per axis
    if (slots[4] != nullptr && slots[4] != Py_None && !read_limits(slots[4], true, limits, axes)) return nullptr;
    Key key{};
    std::uint64_t rate_limit = kDefaultRateLimit;
    double max_velocity = kDefaultMaxVelocity;
    if (!convert_key(kNewSignature, 0, slots[0], key) ||
        (slots[1] != nullptr && !argument(kNewSignature, 1, slots[1], rate_limit)) ||
        (slots[2] != nullptr && !argument(kNewSignature, 2, slots[2], max_velocity))) {
        return nullptr;
    }
    if (!zero_key_rule(key, ZeroKey::refuse, "Boundary", "hmac_key", "")) return nullptr;
    const Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    BoundaryObject* object = boundary_of(self.get());
    new (&object->clock) ClockSource();
    if (!object->clock.set(kNewSignature, 3, slots[3]) || !object->clock.prepare()) return nullptr;
    new (&object->core)
        Boundary(key, rate_limit, max_velocity, Clock{object->clock.function(), object->clock.context()});
    object->built = true;
    object->core.set_axis_limits(axes, limits);  // JointLimits are valid by construction
    return Ref::borrow(self.get()).release();
}

void boundary_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    BoundaryObject* object = boundary_of(self);
    if (object->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    if (object->built) object->core.~Boundary();  // wipes the key
    object->clock.~ClockSource();
    free_instance(self);
}

int boundary_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return boundary_of(self)->clock.traverse(visit, arg);
}

constexpr const char* kAuthorizeParams[] = {"axis", "position", "velocity"};
constexpr Signature kAuthorizeSignature{"authorize_action", kAuthorizeParams, 3};

PyObject* authorize_action(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[3];
    std::int32_t axis = 0;
    double position = 0.0;
    double velocity = 0.0;
    if (!bind_fastcall(kAuthorizeSignature, args, nargs, kwnames, slots) ||
        !argument(kAuthorizeSignature, 0, slots[0], axis) || !argument(kAuthorizeSignature, 1, slots[1], position) ||
        !argument(kAuthorizeSignature, 2, slots[2], velocity)) {
        return nullptr;
    }
    const Imported* objects = imported();
    if (objects == nullptr) return nullptr;
    BoundaryObject* object = boundary_of(self);
    if (!object->clock.prepare()) return nullptr;
    // From here on no Python code runs until the boundary has answered.
    return answer(object->core.authorize(axis, position, velocity), axis, velocity,
                  {objects->violation, objects->receipt});
}

constexpr const char* kRekeyParams[] = {"new_key"};
constexpr Signature kRekeySignature{"rekey", kRekeyParams, 1};

PyObject* rekey(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1];
    Key key{};
    if (!bind_fastcall(kRekeySignature, args, nargs, kwnames, slots) ||
        !convert_key(kRekeySignature, 0, slots[0], key)) {
        return nullptr;
    }
    if (!zero_key_rule(key, ZeroKey::refuse, "Boundary", "new_key", "")) return nullptr;
    boundary_of(self)->core.rekey(key);
    Py_RETURN_NONE;
}

PyObject* refuse_copy(PyObject* self, PyObject*) {
    PyErr_Format(PyExc_TypeError,
                 "a %s cannot be copied or pickled: two boundaries would hand out the same sequence ids",
                 Py_TYPE(self)->tp_name);
    return nullptr;
}

PyMethodDef kMethods[] = {
    {"authorize_action", as_method(authorize_action), METH_FASTCALL | METH_KEYWORDS,
     "authorize_action($self, axis, position, velocity)\n--\n\n"
     "Authorize one command to `axis` (a signed 32-bit int) and return its signed\n"
     "KestrelReceipt, or raise KestrelViolation: \"velocity_exceeded\" when |velocity|\n"
     "<= max_velocity_rad_s does not hold (NaN included), or that of its axis in\n"
     "`limits`; with `limits`, \"position_out_of_range\" for a position outside its\n"
     "axis's [min_position, max_position] (NaN included) or an axis that `limits`\n"
     "does not describe; \"rate_limited\" beyond\n"
     "rate_limit commands in the current one-second window of the clock (the\n"
     "refused command counts too), \"replay_nonce\" for a nonce that repeats one of\n"
     "the last 1024; RuntimeError when the system gives no nonce. A callable clock\n"
     "is called first, on every call: its exception, or TypeError or ValueError for\n"
     "its result, is raised and nothing is signed. Safe to share between threads."},
    {"rekey", as_method(rekey), METH_FASTCALL | METH_KEYWORDS,
     "rekey($self, new_key)\n--\n\n"
     "Sign with `new_key` (32 bytes, any bytes-like object) from the next receipt on;\n"
     "the old key is wiped. The sequence ids continue, so a ReceiptGuard given\n"
     "new_key beforehand with add_key follows without refusing a command. ValueError\n"
     "for a key of another length or of 32 zero bytes. Safe to share between threads:\n"
     "a call running meanwhile signs wholly under one key or the other."},
    {"__reduce_ex__", refuse_copy, METH_O,
     "A boundary cannot be copied or pickled: two boundaries would hand out the same sequence ids."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef kMembers[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(BoundaryObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("Boundary(hmac_key, " KESTREL_PY_BOUNDARY_LIMITS ", *, clock=None, limits=None)\n--\n\n"
                       "The signing boundary: the rules, refusals and receipts of KestrelBoundary, on\n"
                       "a clock of your choosing. `hmac_key` is required (32 bytes, any bytes-like\n"
                       "object; ValueError for another length or for 32 zero bytes, a key anyone can\n"
                       "guess; rekey changes it). `clock` is a SimulatedClock, a callable\n"
                       "returning int nanoseconds since the Unix epoch, or None for the wall clock; it\n"
                       "dates the receipts and drives the one-second rate window alike, so a loop on a\n"
                       "SimulatedClock runs as fast as it can without being refused for its rate.\n"
                       "`limits`, a sequence of JointLimits indexed by axis or the dict of\n"
                       "load_joint_limits (axes in its order), gives each axis its own position\n"
                       "range and velocity limit, checked before anything is signed.\n"
                       "Time read from a given clock never goes back: a reading below the last one is\n"
                       "taken as the last one. rate_limit counts the commands of every axis together,\n"
                       "per one-second window; on the wall clock a clock stepped back opens a new\n"
                       "window, so the promise is per window. Safe to share between threads. It\n"
                       "cannot be copied or pickled; the key is wiped from memory when the boundary\n"
                       "is destroyed. Across os.fork() the child's copy carries on from the parent's\n"
                       "state: both sign the same sequence ids under the same key, and a receiver\n"
                       "refuses whichever of two equal ids reaches it second, so one process loses\n"
                       "its commands. Make each boundary in the process that uses it, after any fork.")},
    {Py_tp_new, reinterpret_cast<void*>(boundary_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boundary_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(boundary_traverse)},
    {Py_tp_methods, kMethods},
    {Py_tp_members, kMembers},
    {0, nullptr},
};

PyType_Spec kSpec = {"kestrel.Boundary", sizeof(BoundaryObject), 0, kClassFlags | Py_TPFLAGS_HAVE_GC, kSlots};

PyObject* g_type = nullptr;

}  // namespace

PyTypeObject* boundary_type() { return cached_type(g_type, kSpec); }

}  // namespace kestrel::py::native
