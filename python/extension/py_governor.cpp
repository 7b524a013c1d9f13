// Governor: the Python face of the core's Governor (governor/governor.hpp).
// Immutable after construction; project() and project_batch() clamp commands
// into the safe envelope [min_bound, max_bound] in single precision.
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>

#include "classes.hpp"
#include "convert.hpp"
#include "float_buffer.hpp"
#include "governor/governor.hpp"

namespace kestrel::py {

namespace {

struct GovernorObject {
    PyObject_HEAD
    Governor core;
    // The bounds as Python floats: a clamped result is handed out again
    // instead of allocating a new float.
    PyObject* lower_object;
    PyObject* upper_object;
};

inline bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

// The Python float for a projected value. Floats are immutable, so an input
// float or a bound that already holds exactly this value is reused.
inline PyObject* result_object(const GovernorObject* governor, float x, PyObject* exact_input) {
    const double wide = x;
    PyObject* reuse = nullptr;
    if (exact_input != nullptr && same_bits(wide, PyFloat_AS_DOUBLE(exact_input))) {
        reuse = exact_input;
    } else if (same_bits(wide, PyFloat_AS_DOUBLE(governor->lower_object))) {
        reuse = governor->lower_object;
    } else if (same_bits(wide, PyFloat_AS_DOUBLE(governor->upper_object))) {
        reuse = governor->upper_object;
    }
    if (reuse == nullptr) return PyFloat_FromDouble(wide);
    Py_INCREF(reuse);
    return reuse;
}

// Builds project_batch's result list while the sequence is walked. For a
// list or tuple the result is created at its final length and filled by
// index; other sequences report only a hint of their length and are
// appended to.
//
// Python code runs while the list is filled (an element's __float__, a
// sequence's __next__). The list stays out of the garbage collector's sight
// until it is handed out, so no such code can reach it through
// gc.get_referrers() or gc.get_objects() and see its unfilled slots or change
// the result.
class BatchResult {
public:
    explicit BatchResult(const GovernorObject* governor) : governor_(governor) {}

    bool begin(Py_ssize_t length, bool exact) {
        capacity_ = exact ? length : 0;
        list_ = Ref(PyList_New(capacity_));
        if (!list_) return false;
        PyObject_GC_UnTrack(list_.get());
        return true;
    }

    bool element(float u, PyObject* exact_input) {
        PyObject* value = result_object(governor_, governor_->core.project(u), exact_input);
        if (value == nullptr) return false;
        if (filled_ < capacity_) {
            PyList_SET_ITEM(list_.get(), filled_, value);
        } else {
            const int status = PyList_Append(list_.get(), value);
            Py_DECREF(value);
            if (status < 0) return false;
        }
        ++filled_;
        return true;
    }

    bool end(Py_ssize_t count) {
        if (count >= capacity_) return true;
        // The list shrank while it was read: drop the unfilled tail.
        return PyList_SetSlice(list_.get(), count, capacity_, nullptr) == 0;
    }

    // Called once, after a successful end().
    PyObject* release() {
        PyObject_GC_Track(list_.get());
        return list_.release();
    }

private:
    const GovernorObject* governor_;
    Ref list_;
    Py_ssize_t capacity_ = 0;
    Py_ssize_t filled_ = 0;
};

// project_batch over a float buffer: each element read as the sequence walk
// would convert it (a double narrowed to 32 bits; a float widened exactly and
// narrowed back), with no Python object per element on the way in.
bool project_buffer(const FloatBuffer& buffer, BatchResult& result) {
    const Py_ssize_t count = buffer.size();
    if (!result.begin(count, true)) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!result.element(static_cast<float>(buffer.at(i)), nullptr)) return false;
    }
    return result.end(count);
}

constexpr const char* kNewParams[] = {"min_bound", "max_bound"};
constexpr Signature kNewSignature{"Governor", kNewParams, 2};

PyObject* governor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* slots[2];
    if (!bind_tuple(kNewSignature, args, kwargs, slots)) return nullptr;
    float lower = 0.0f;
    float upper = 0.0f;
    if (!argument(kNewSignature, 0, slots[0], lower) || !argument(kNewSignature, 1, slots[1], upper)) {
        return nullptr;
    }
    const std::optional<Governor> core = Governor::make(lower, upper);
    if (!core) {
        PyErr_SetString(PyExc_ValueError, kestrel_error_message(KESTREL_ERROR_BAD_ENVELOPE));
        return nullptr;
    }
    Ref lower_object(PyFloat_FromDouble(lower));
    Ref upper_object(PyFloat_FromDouble(upper));
    if (!lower_object || !upper_object) return nullptr;

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* governor = reinterpret_cast<GovernorObject*>(self);
    governor->core = *core;
    governor->lower_object = lower_object.release();
    governor->upper_object = upper_object.release();
    return self;
}

void governor_dealloc(PyObject* self) {
    auto* governor = reinterpret_cast<GovernorObject*>(self);
    Py_CLEAR(governor->lower_object);
    Py_CLEAR(governor->upper_object);
    free_instance(self);
}

// The method descriptor has checked the receiver's type before a method runs.
const GovernorObject* governor_of(PyObject* self) { return reinterpret_cast<const GovernorObject*>(self); }

constexpr const char* kProjectParams[] = {"u_desired"};
constexpr Signature kProjectSignature{"project", kProjectParams, 1};

PyObject* project(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1];
    if (!bind_fastcall(kProjectSignature, args, nargs, kwnames, slots)) return nullptr;
    const GovernorObject* governor = governor_of(self);
    float u = 0.0f;
    if (!argument(kProjectSignature, 0, slots[0], u)) return nullptr;
    return result_object(governor, governor->core.project(u), PyFloat_CheckExact(slots[0]) ? slots[0] : nullptr);
}

constexpr const char* kBatchParams[] = {"u_vec"};
constexpr Signature kBatchSignature{"project_batch", kBatchParams, 1};

PyObject* project_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1];
    if (!bind_fastcall(kBatchSignature, args, nargs, kwnames, slots)) return nullptr;
    const GovernorObject* governor = governor_of(self);
    BatchResult result(governor);
    // str exports no buffer, and a buffer that is no sequence is refused by the walk.
    FloatBuffer buffer;
    if (PySequence_Check(slots[0]) && take_float_buffer(slots[0], buffer)) {
        const bool done = project_buffer(buffer, result);
        PyBuffer_Release(&buffer.view);
        return done ? result.release() : nullptr;
    }
    if (!for_each_f32(slots[0], result)) {
        wrap_argument_error(kBatchParams[0]);
        return nullptr;
    }
    return result.release();
}

PyMethodDef kMethods[] = {
    {"project", as_method(project), METH_FASTCALL | METH_KEYWORDS,
     "project($self, u_desired)\n--\n\nProject a single scalar actuator command into the safe envelope."},
    {"project_batch", as_method(project_batch), METH_FASTCALL | METH_KEYWORDS,
     "project_batch($self, u_vec)\n--\n\nProject a vector of actuator commands in a single call."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Governor(min_bound, max_bound)\n--\n\n"
                                  "Python wrapper around the Kestrel scalar active-set projection kernel.")},
    {Py_tp_new, reinterpret_cast<void*>(governor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(governor_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.Governor", sizeof(GovernorObject), 0, kClassFlags, kSlots};

PyObject* g_type = nullptr;

}  // namespace

PyTypeObject* governor_type() { return cached_type(g_type, kSpec); }

}  // namespace kestrel::py
