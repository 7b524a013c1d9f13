// ReceiptGuard: the receiving side's replay guard for one stream of receipts,
// over kestrel_receipt_guard_*. The guard is the object's own storage: it is
// never shared with another object, and wiped when the object goes.
#include <cstddef>
#include <cstdint>
#include <new>

#include "boundary_face.hpp"
#include "clock_source.hpp"
#include "fault.hpp"
#include "receipt_args.hpp"

#include <structmember.h>  // after Python.h

namespace kestrel::py::native {

namespace {

struct GuardObject {
    PyObject_HEAD KestrelReceiptGuard* guard;  // 64-aligned, owned
    PyObject* weakrefs;
    ClockSource clock;  // the maximum age's clock
    bool ages;          // a maximum age is set: checks read the clock
};

constexpr std::align_val_t kGuardAlign{KESTREL_RECEIPT_GUARD_ALIGN};

GuardObject* guard_of(PyObject* self) { return reinterpret_cast<GuardObject*>(self); }

constexpr const char* kNewParams[] = {"key", "max_age", "last_sequence_id", "clock"};
constexpr Signature kNewSignature{"ReceiptGuard", kNewParams, 1, 1};

// Seconds become the guard's whole nanoseconds; None (0) switches the rule off.
bool convert_max_age(PyObject* given, std::uint64_t& nanoseconds) {
    nanoseconds = 0;
    return given == nullptr || given == Py_None || convert_seconds(kNewSignature, 1, given, true, nanoseconds);
}

PyObject* guard_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* slots[4];
    if (!bind_tuple(kNewSignature, args, kwargs, slots)) return nullptr;
    Key key;
    std::uint64_t max_age_ns = 0;
    std::uint64_t last_sequence_id = 0;
    if (!convert_key(kNewSignature, 0, slots[0], key) || !convert_max_age(slots[1], max_age_ns) ||
        (slots[2] != nullptr && !argument(kNewSignature, 2, slots[2], last_sequence_id))) {
        return nullptr;
    }
    // Accepted, as the guards already deployed with such a key must go on
    // working, but never silently: anyone can sign what this guard accepts.
    if (!zero_key_rule(key, ZeroKey::warn, "ReceiptGuard", "key", "every receipt it accepts could be forged")) {
        return nullptr;
    }
    auto* guard = new (kGuardAlign, std::nothrow) KestrelReceiptGuard;
    if (guard == nullptr) return PyErr_NoMemory();
    // Resuming from 0 is a fresh guard: one call for both.
    if (kestrel_receipt_guard_resume(guard, key.data(), last_sequence_id) != 0 ||
        kestrel_receipt_guard_set_max_age(guard, max_age_ns) != 0) {
        internal_fault("an aligned receipt guard was refused");
    }
    const Ref self(type->tp_alloc(type, 0));
    if (!self) {
        kestrel_receipt_guard_wipe(guard);
        ::operator delete(guard, kGuardAlign);
        return nullptr;
    }
    GuardObject* object = guard_of(self.get());
    object->guard = guard;
    new (&object->clock) ClockSource();
    object->ages = max_age_ns != 0;
    if (!object->clock.set(kNewSignature, 3, slots[3])) return nullptr;
    if (kestrel_receipt_guard_set_clock(guard, object->clock.function(), object->clock.context()) != 0) {
        internal_fault("a live receipt guard refused a clock");
    }
    return Ref::borrow(self.get()).release();
}

void guard_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    GuardObject* object = guard_of(self);
    if (object->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    if (object->guard != nullptr) {
        kestrel_receipt_guard_wipe(object->guard);
        ::operator delete(object->guard, kGuardAlign);
    }
    object->clock.~ClockSource();
    free_instance(self);
}

int guard_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return guard_of(self)->clock.traverse(visit, arg);
}

// The clock is read only by checks that reach the age rule; a callable is
// read before every check then.
bool prepare_clock(GuardObject* object) { return !object->ages || object->clock.prepare(); }

// A refusal of check or check_frame. A tag that fails under every key the
// guard holds says which keys those were: in service the commonest cause is a
// sender that rotated before its receivers were given the new key.
PyObject* refuse(GuardObject* object, std::int32_t axis, KestrelError code) {
    std::uint32_t keys = 1;
    if (code != KESTREL_ERROR_AUTHENTICATION_FAILURE || kestrel_receipt_guard_key_count(object->guard, &keys) != 0) {
        return raise_refusal(axis, code);
    }
    return raise_refusal(axis, code,
                         keys == 1 ? " under the guard's key; if the sender has rotated to a new key, give the guard "
                                     "that key first with add_key"
                                   : " under the guard's current key and under its next key (add_key)");
}

constexpr const char* kCheckParams[] = {"receipt", "axis", "position", "velocity"};
constexpr Signature kCheckSignature{"check", kCheckParams, 4};

PyObject* check(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[4];
    if (!bind_fastcall(kCheckSignature, args, nargs, kwnames, slots)) return nullptr;
    Action action;
    if (!convert_action(kCheckSignature, 0, slots, action) || !prepare_clock(guard_of(self))) return nullptr;
    // From here on no Python code runs until the guard has answered.
    const KestrelError code =
        kestrel_receipt_guard_check(guard_of(self)->guard, action.wire, action.axis, action.position, action.velocity);
    if (code != 0) return refuse(guard_of(self), action.axis, code);
    Py_RETURN_NONE;
}

constexpr const char* kCheckFrameParams[] = {"frame"};
constexpr Signature kCheckFrameSignature{"check_frame", kCheckFrameParams, 1};

PyObject* check_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1];
    if (!bind_fastcall(kCheckFrameSignature, args, nargs, kwnames, slots)) return nullptr;
    // Decoded once, here, and checked as kestrel_receipt_guard_check_frame
    // checks it: a refusal names the axis that the frame claims, as check
    // names the one it is given; a frame refused as malformed claims nothing.
    KestrelFrame action;
    if (!convert_frame(kCheckFrameSignature, 0, slots[0], action) || !prepare_clock(guard_of(self))) return nullptr;
    const KestrelError code = kestrel_receipt_guard_check(guard_of(self)->guard, action.receipt, action.axis,
                                                          action.position, action.velocity);
    if (code != 0) return refuse(guard_of(self), action.axis, code);
    // Should the result not be built (no memory), the receipt stays spent and
    // MemoryError is raised: the action is lost, and never carried out twice.
    return new_frame(action);
}

constexpr const char* kAddKeyParams[] = {"key"};
constexpr Signature kAddKeySignature{"add_key", kAddKeyParams, 1};

PyObject* add_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1];
    if (!bind_fastcall(kAddKeySignature, args, nargs, kwnames, slots)) return nullptr;
    Key key{};
    if (!convert_key(kAddKeySignature, 0, slots[0], key)) return nullptr;
    const KestrelError code = kestrel_receipt_guard_add_key(guard_of(self)->guard, key.data());
    if (code == KESTREL_ERROR_ZERO_KEY) return refuse_argument("key", code);
    if (code != KESTREL_OK) internal_fault("a live receipt guard refused a next key");
    Py_RETURN_NONE;
}

PyObject* get_key_count(PyObject* self, void*) {
    std::uint32_t count = 0;
    if (kestrel_receipt_guard_key_count(guard_of(self)->guard, &count) != 0) {
        internal_fault("a live receipt guard refused to report its key count");
    }
    return PyLong_FromUnsignedLong(count);
}

PyObject* get_last_sequence_id(PyObject* self, void*) {
    std::uint64_t last = 0;
    if (kestrel_receipt_guard_last_sequence_id(guard_of(self)->guard, &last) != 0) {
        internal_fault("a live receipt guard refused to report its last sequence id");
    }
    return PyLong_FromUnsignedLongLong(last);
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
     "violation_type \"replay_counter\", \"replay_nonce\", \"authentication_failure\" or,\n"
     "with a maximum age, \"stale_receipt\". A receipt that is not 60 bytes long is\n"
     "refused with \"invalid_receipt\", as parse_receipt refuses it. Only an\n"
     "acceptance changes the guard. TypeError for an argument of the wrong type.\n"
     "Safe to share between threads."},
    {"check_frame", as_method(check_frame), METH_FASTCALL | METH_KEYWORDS,
     "check_frame($self, frame)\n--\n\n"
     "Check an 84-byte signed command frame (encode_frame; any bytes-like object,\n"
     "taken at its buffer's length) and return its action and receipt as a Frame:\n"
     "the action to carry out, exactly the bits that were signed. Otherwise raise\n"
     "KestrelViolation: \"invalid_frame\" (axis 0) for a frame that is not 84 bytes\n"
     "long, whose version is not 1 or whose reserved bytes 1-3 are not zero, as\n"
     "decode_frame refuses it; else, with the frame's axis, the refusals of check.\n"
     "Only an acceptance changes the guard. TypeError for an object that is not\n"
     "bytes-like. Safe to share between threads."},
    {"add_key", as_method(add_key), METH_FASTCALL | METH_KEYWORDS,
     "add_key($self, key)\n--\n\n"
     "Give the guard the next key of a key rotation (32 bytes, any bytes-like\n"
     "object): a receipt whose tag is wrong under the current key is checked under\n"
     "this one too, and the first receipt accepted under it makes it the current\n"
     "key; the old key is then forgotten, and a receipt under it is refused as\n"
     "\"authentication_failure\". Sequence ids and nonces carry across the switch.\n"
     "A next key not yet used is replaced. The current key given again is no\n"
     "rotation: the guard keeps that one key (key_count 1, any next key dropped).\n"
     "ValueError for a key of another length or of 32 zero bytes."},
    {"__reduce_ex__", refuse_copy, METH_O,
     "A guard cannot be copied or pickled: two guards would each accept the same receipt once."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"key_count", get_key_count, nullptr,
     "How many keys the guard holds: 1, or 2 from add_key until the first receipt\n"
     "accepted under the next key.",
     nullptr},
    {"last_sequence_id", get_last_sequence_id, nullptr,
     "The sequence id of the last receipt accepted, or the one the guard was resumed\n"
     "from (0 for a fresh guard). Store it durably after each acceptance and before\n"
     "acting on the command, and resume from it after a restart.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef kMembers[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(GuardObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("ReceiptGuard(key, max_age=None, last_sequence_id=0, *, clock=None)\n--\n\n"
                                  "The receiving side's replay guard for one stream of receipts under a 32-byte\n"
                                  "key (any bytes-like object; ValueError for another length; a key of 32 zero\n"
                                  "bytes, which anyone can guess, gives a RuntimeWarning): a receipt is\n"
                                  "accepted only if its tag is right for the action, its sequence id is newer\n"
                                  "than every one accepted before and its nonce is not among the last 1024\n"
                                  "accepted. With `max_age` in seconds (a real number > 0 and finite, kept in\n"
                                  "whole nanoseconds, at least one; ValueError otherwise, or past 2**64 - 1\n"
                                  "nanoseconds), a receipt whose timestamp lies further than that from this\n"
                                  "machine's wall clock, or from `clock`, before or after, is refused as\n"
                                  "\"stale_receipt\"; it must cover the delivery delay and the offset between\n"
                                  "the two clocks. None, the default, leaves the clock out. `clock` is a\n"
                                  "SimulatedClock, a callable returning int nanoseconds since the Unix epoch\n"
                                  "(called before each check while a maximum age is set; its exception, or\n"
                                  "TypeError for a result that is not an int, is raised instead), or None for\n"
                                  "the wall clock; its time never goes back. A guard given `last_sequence_id` (an\n"
                                  "unsigned 64-bit int) carries on after a restart: it refuses every sequence id\n"
                                  "up to that one as \"replay_counter\" (see the property last_sequence_id).\n"
                                  "To change keys without a gap, give the guard the next key with add_key.\n"
                                  "Safe to share between threads: each call runs whole while it holds the\n"
                                  "interpreter lock. It cannot be copied or pickled. The key is wiped from\n"
                                  "memory when the guard is destroyed.")},
    {Py_tp_new, reinterpret_cast<void*>(guard_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(guard_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(guard_traverse)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_members, kMembers},
    {0, nullptr},
};

PyType_Spec kSpec = {"kestrel.ReceiptGuard", sizeof(GuardObject), 0, kClassFlags | Py_TPFLAGS_HAVE_GC, kSlots};

PyObject* g_type = nullptr;

}  // namespace

PyTypeObject* receipt_guard_type() { return cached_type(g_type, kSpec); }

}  // namespace kestrel::py::native
