// ReceiptGuard: the receiving side's replay guard for one stream of receipts,
// over kestrel_receipt_guard_*. The guard is the object's own storage: it is
// never shared with another object, and wiped when the object goes.
#include <cstddef>
#include <new>

#include "fault.hpp"
#include "receipt_args.hpp"

#include <structmember.h>  // after Python.h

namespace kestrel::py::native {

namespace {

struct GuardObject {
    PyObject_HEAD
    KestrelReceiptGuard* guard;  // 64-aligned, owned
    PyObject* weakrefs;
};

constexpr std::align_val_t kGuardAlign{KESTREL_RECEIPT_GUARD_ALIGN};

GuardObject* guard_of(PyObject* self) { return reinterpret_cast<GuardObject*>(self); }

constexpr const char* kNewParams[] = {"key"};
constexpr Signature kNewSignature{"ReceiptGuard", kNewParams, 1};

PyObject* guard_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* slots[1];
    if (!bind_tuple(kNewSignature, args, kwargs, slots)) return nullptr;
    Key key;
    if (!convert_key(kNewSignature, 0, slots[0], key)) return nullptr;
    auto* guard = new (kGuardAlign, std::nothrow) KestrelReceiptGuard;
    if (guard == nullptr) return PyErr_NoMemory();
    if (kestrel_receipt_guard_init(guard, key.bytes) != 0) internal_fault("an aligned receipt guard was refused");
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        kestrel_receipt_guard_wipe(guard);
        ::operator delete(guard, kGuardAlign);
        return nullptr;
    }
    guard_of(self)->guard = guard;
    return self;
}

void guard_dealloc(PyObject* self) {
    GuardObject* object = guard_of(self);
    if (object->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    if (object->guard != nullptr) {
        kestrel_receipt_guard_wipe(object->guard);
        ::operator delete(object->guard, kGuardAlign);
    }
    free_instance(self);
}

constexpr const char* kCheckParams[] = {"receipt", "axis", "position", "velocity"};
constexpr Signature kCheckSignature{"check", kCheckParams, 4};

PyObject* check(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[4];
    if (!bind_fastcall(kCheckSignature, args, nargs, kwnames, slots)) return nullptr;
    Action action;
    if (!convert_action(kCheckSignature, 0, slots, action)) return nullptr;
    // From here on no Python code runs until the guard has answered.
    const KestrelError code = kestrel_receipt_guard_check(guard_of(self)->guard, action.wire, action.axis,
                                                           action.position, action.velocity);
    if (code != 0) return raise_refusal(action.axis, code);
    Py_RETURN_NONE;
}

PyObject* refuse_copy(PyObject* self, PyObject*) {
    PyErr_Format(PyExc_TypeError,
                 "a %s cannot be copied or pickled: two guards would each accept the same receipt once",
                 Py_TYPE(self)->tp_name);
    return nullptr;
}

PyMethodDef kMethods[] = {
    {"check", as_method(check), METH_FASTCALL | METH_KEYWORDS,
     "check($self, receipt, axis, position, velocity)\n--\n\n"
     "Accept `receipt` (the 60-byte wire form, KestrelReceipt.receipt_hash; any\n"
     "bytes-like object, taken at its buffer's length) for the action (axis,\n"
     "position, velocity) and return None, or raise KestrelViolation with\n"
     "violation_type \"replay_counter\", \"replay_nonce\" or \"authentication_failure\".\n"
     "A receipt that is not 60 bytes long is refused with \"invalid_receipt\", as\n"
     "parse_receipt refuses it. Only an acceptance changes the guard. TypeError for\n"
     "an argument of the wrong type. Safe to share between threads."},
    {"__reduce_ex__", refuse_copy, METH_O,
     "A guard cannot be copied or pickled: two guards would each accept the same receipt once."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef kMembers[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(GuardObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "ReceiptGuard(key)\n--\n\n"
                    "The receiving side's replay guard for one stream of receipts under a 32-byte\n"
                    "key (any bytes-like object; ValueError for another length): a receipt is\n"
                    "accepted only if its tag is right for the action, its sequence id is newer\n"
                    "than every one accepted before and its nonce is not among the last 1024\n"
                    "accepted. Safe to share between threads: each call runs whole while it holds\n"
                    "the interpreter lock. It cannot be copied or pickled. The key is wiped from\n"
                    "memory when the guard is destroyed.")},
    {Py_tp_new, reinterpret_cast<void*>(guard_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(guard_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_members, kMembers},
    {0, nullptr},
};

PyType_Spec kSpec = {"kestrel.ReceiptGuard", sizeof(GuardObject), 0, kClassFlags, kSlots};

PyObject* g_type = nullptr;

}  // namespace

PyTypeObject* receipt_guard_type() { return cached_type(g_type, kSpec); }

}  // namespace kestrel::py::native
