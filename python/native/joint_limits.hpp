// JointLimits objects as the limiter reads them.
#pragma once

#include "native.hpp"
#include "vector.hpp"

namespace kestrel::py::native {

// The limits an instance of JointLimits holds; the caller checked its type.
const KestrelJointLimits& limits_of(PyObject* joint_limits) noexcept;

constexpr std::size_t kMaxJoints = KESTREL_JOINT_LIMITER_MAX_JOINTS;
using Joints = Vector<double, kMaxJoints>;

// joints converts argument `index` of `sig` into one value per joint
// (ValueError naming the argument for another count).
bool joints(const Signature& sig, std::size_t index, PyObject* obj, std::uint32_t count, Joints& out);

// read_limits reads the argument 'limits': a sequence of JointLimits, one per
// joint, or (with `mapping`) a dict of them by joint name, as
// load_joint_limits returns, in its order. TypeError or ValueError otherwise.
bool read_limits(PyObject* given, bool mapping, KestrelJointLimits (&out)[kMaxJoints], std::uint32_t& count);

}  // namespace kestrel::py::native
