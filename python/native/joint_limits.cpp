// JointLimits: the limits of one joint, an immutable value, refused by the C
// limiter's rules when it is made, so that a refusal names the field.
#include <cmath>
#include <iterator>

#include "convert.hpp"
#include "joint_limits.hpp"
#include "py_ref.hpp"

namespace kestrel::py::native {

namespace {

struct LimitsObject {
    PyObject_HEAD KestrelJointLimits limits;
};

constexpr const char* kFields[] = {"min_position", "max_position", "max_velocity", "max_acceleration", "max_jerk"};
static_assert(std::size(kFields) == KESTREL_JOINT_LIMITS_FIELDS);
constexpr Signature kNewSignature{"JointLimits", kFields, 0};

// The fields in declaration order, for the loops below.
template <class Limits>  // KestrelJointLimits, const or not
auto* field(Limits& limits, int i) {
    decltype(&limits.min_position) fields[] = {&limits.min_position, &limits.max_position, &limits.max_velocity,
                                               &limits.max_acceleration, &limits.max_jerk};
    return fields[i];
}

// The limiter's own rules for one joint's limits, apart from those that
// depend on the period; the refusal names the field.
bool validate(const KestrelJointLimits& limits) {
    KestrelJointFault fault;
    if (kestrel_joint_limiter_check(1, &limits, 0.0, nullptr, nullptr, &fault) == KESTREL_OK) return true;
    PyErr_SetString(PyExc_ValueError, fault.message);
    return false;
}

PyObject* limits_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* slots[KESTREL_JOINT_LIMITS_FIELDS];
    if (!bind_tuple(kNewSignature, args, kwargs, slots)) return nullptr;
    KestrelJointLimits limits{-INFINITY, INFINITY, INFINITY, INFINITY, INFINITY};
    for (int i = 0; i < KESTREL_JOINT_LIMITS_FIELDS; ++i) {
        if (slots[i] != nullptr && !argument(kNewSignature, i, slots[i], *field(limits, i))) return nullptr;
    }
    if (!validate(limits)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) reinterpret_cast<LimitsObject*>(self)->limits = limits;
    return self;
}

KestrelJointLimits& own(PyObject* self) { return reinterpret_cast<LimitsObject*>(self)->limits; }

// The five fields as a tuple of floats: the value that equality, hashing,
// repr and pickling all go by.
PyObject* as_tuple(PyObject* self) {
    KestrelJointLimits& limits = own(self);
    return Py_BuildValue("(ddddd)", limits.min_position, limits.max_position, limits.max_velocity,
                         limits.max_acceleration, limits.max_jerk);
}

PyObject* get_field(PyObject* self, void* index) {
    return PyFloat_FromDouble(*field(own(self), static_cast<int>(reinterpret_cast<std::intptr_t>(index))));
}

PyObject* limits_repr(PyObject* self) {
    const Ref values(as_tuple(self));
    if (!values) return nullptr;
    PyObject* v[KESTREL_JOINT_LIMITS_FIELDS];
    for (int i = 0; i < KESTREL_JOINT_LIMITS_FIELDS; ++i) v[i] = PyTuple_GET_ITEM(values.get(), i);
    return PyUnicode_FromFormat(
        "JointLimits(min_position=%R, max_position=%R, max_velocity=%R, "
        "max_acceleration=%R, max_jerk=%R)",
        v[0], v[1], v[2], v[3], v[4]);
}

PyObject* limits_richcompare(PyObject* self, PyObject* other, int op) {
    if (!PyObject_TypeCheck(other, Py_TYPE(self)) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
    const Ref mine(as_tuple(self));
    const Ref theirs(as_tuple(other));
    if (!mine || !theirs) return nullptr;
    return PyObject_RichCompare(mine.get(), theirs.get(), op);
}

Py_hash_t limits_hash(PyObject* self) {
    const Ref values(as_tuple(self));
    return values ? PyObject_Hash(values.get()) : -1;
}

PyObject* limits_reduce(PyObject* self, PyObject*) {
    const Ref values(as_tuple(self));
    return values ? Py_BuildValue("(OO)", Py_TYPE(self), values.get()) : nullptr;
}

PyGetSetDef kGetSet[] = {
    {"min_position", get_field, nullptr, nullptr, reinterpret_cast<void*>(0)},
    {"max_position", get_field, nullptr, nullptr, reinterpret_cast<void*>(1)},
    {"max_velocity", get_field, nullptr, nullptr, reinterpret_cast<void*>(2)},
    {"max_acceleration", get_field, nullptr, nullptr, reinterpret_cast<void*>(3)},
    {"max_jerk", get_field, nullptr, nullptr, reinterpret_cast<void*>(4)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"__reduce__", limits_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("JointLimits(min_position=..., max_position=..., max_velocity=..., "
                                  "max_acceleration=..., max_jerk=...)\n--\n\n"
                                  "The limits of one joint, an immutable value; an infinite value means the\n"
                                  "limit is absent, and every limit is absent by default (min_position -inf,\n"
                                  "the others inf). Positions in rad (or m), rates per second; each any real\n"
                                  "number (numpy scalars included). ValueError for a NaN, min_position >=\n"
                                  "max_position, or a rate limit that is not > 0; TypeError for a value that\n"
                                  "is not a number. Safe to share between threads.")},
    {Py_tp_new, reinterpret_cast<void*>(limits_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)},
    {Py_tp_repr, reinterpret_cast<void*>(limits_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(limits_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(limits_hash)},
    {Py_tp_getset, kGetSet},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"kestrel.JointLimits", sizeof(LimitsObject), 0, kClassFlags, kSlots};

PyObject* g_type = nullptr;

}  // namespace

PyTypeObject* joint_limits_type() { return cached_type(g_type, kSpec); }

const KestrelJointLimits& limits_of(PyObject* joint_limits) noexcept { return own(joint_limits); }

bool joints(const Signature& sig, std::size_t index, PyObject* obj, std::uint32_t count, Joints& out) {
    if (!argument(sig, index, obj, out)) return false;
    if (out.count != static_cast<Py_ssize_t>(count)) {
        set_length_error(sig.names[index], count, out.count);
        return false;
    }
    return true;
}

bool read_limits(PyObject* given, bool mapping, KestrelJointLimits (&out)[kMaxJoints], std::uint32_t& count) {
    PyTypeObject* limits_type = required_type(joint_limits_type, "JointLimits");
    const bool by_name = mapping && PyDict_Check(given);
    if (!by_name && (PyObject_TypeCheck(given, limits_type) || !PySequence_Check(given) || PyUnicode_Check(given))) {
        PyErr_SetString(PyExc_TypeError,
                        mapping ? "argument 'limits': must be a sequence of JointLimits, one per joint, or the dict "
                                  "of load_joint_limits"
                                : "argument 'limits': must be a sequence of JointLimits, one per joint "
                                  "(use [limits] * n)");
        return false;
    }
    const Ref values(by_name ? PyDict_Values(given) : nullptr);
    const Ref items(PySequence_Tuple(by_name ? values.get() : given));
    if (!items) return false;
    const Py_ssize_t size = PyTuple_GET_SIZE(items.get());
    if (size < 1 || size > static_cast<Py_ssize_t>(kMaxJoints)) {
        PyErr_Format(PyExc_ValueError, "limits must hold 1 to %zu joints, not %zd", kMaxJoints, size);
        return false;
    }
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        if (!PyObject_TypeCheck(item, limits_type)) {
            PyErr_Format(PyExc_TypeError, "argument 'limits': must hold JointLimits, not '%s'", type_name(item));
            return false;
        }
        out[i] = limits_of(item);
    }
    count = static_cast<std::uint32_t>(size);
    return true;
}

}  // namespace kestrel::py::native
