#include "boundary_face.hpp"

#include "boundary/random_source.hpp"
#include "decimal_text.hpp"
#include "errors/error_catalogue.hpp"
#include "fault.hpp"
#include "receipt_object.hpp"

namespace kestrel::py {

PyObject* refuse_argument(const char* argument, KestrelError error) {
    PyErr_Format(PyExc_ValueError, "%s: %s", argument, error_text(error).message.data());
    return nullptr;
}

bool zero_key_rule(const Key& key, ZeroKey rule, const char* owner, const char* argument, const char* consequence) {
    if (!key.is_zero()) return true;
    if (rule == ZeroKey::refuse) {
        refuse_argument(argument, KESTREL_ERROR_ZERO_KEY);
        return false;
    }
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "%s %s is 32 zero bytes, a key anyone can guess: %s", owner,
                            argument, consequence) == 0;
}

PyObject* raise_violation(PyObject* violation, std::int32_t axis, std::string_view violation_type,
                          std::string_view message) {
    const Ref args(Py_BuildValue("(is#s#)", static_cast<int>(axis), violation_type.data(),
                                 static_cast<Py_ssize_t>(violation_type.size()), message.data(),
                                 static_cast<Py_ssize_t>(message.size())));
    if (args) PyErr_SetObject(violation, args.get());
    return nullptr;
}

PyObject* kestrel_error_to_py_err(PyObject* violation, std::int32_t axis, KestrelError error, const char* hint) {
    const ErrorText text = error_text(error);
    if (hint[0] == '\0') return raise_violation(violation, axis, text.name, text.message);
    const Ref message(PyUnicode_FromFormat("%s%s", kestrel_error_message(error), hint));
    if (!message) return nullptr;
    const Ref args(Py_BuildValue("(is#O)", static_cast<int>(axis), text.name.data(),
                                 static_cast<Py_ssize_t>(text.name.size()), message.get()));
    if (args) PyErr_SetObject(violation, args.get());
    return nullptr;
}

PyObject* answer(const Authorization& a, std::int32_t axis, double velocity, const AnswerClasses& classes) {
    switch (a.outcome) {
        case AuthorizeOutcome::Authorized:
            return new_receipt_of(classes.receipt, a.receipt, a.action_id, a.payload);
        case AuthorizeOutcome::VelocityExceeded: {
            char message[kVelocityRefusalCapacity];
            return raise_violation(classes.violation, axis, error_text(KESTREL_ERROR_VELOCITY_EXCEEDED).name,
                                   velocity_refusal_text(velocity, a.velocity_limit, message));
        }
        case AuthorizeOutcome::PositionOutOfRange:
            return kestrel_error_to_py_err(classes.violation, axis, KESTREL_ERROR_POSITION_OUT_OF_RANGE);
        case AuthorizeOutcome::RateLimited:
            return kestrel_error_to_py_err(classes.violation, axis, KESTREL_ERROR_RATE_LIMITED);
        case AuthorizeOutcome::RandomSourceFailed:
            PyErr_Format(PyExc_RuntimeError, kRandomSourceFormat, random_failure_text(a.random_error));
            return nullptr;
        case AuthorizeOutcome::Refused:
            return kestrel_error_to_py_err(classes.violation, axis, a.refusal);
    }
    internal_fault("an authorization outcome without an answer");
}

}  // namespace kestrel::py
