// JointLimits objects as the limiter reads them.
#pragma once

#include "native.hpp"

namespace kestrel::py::native {

// The limits an instance of JointLimits holds; the caller checked its type.
const KestrelJointLimits& limits_of(PyObject* joint_limits) noexcept;

}  // namespace kestrel::py::native
