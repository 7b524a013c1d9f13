// Linear rows on four axes (coefficients[i] . x <= limits[i]), as project_4d
// and JointLimiter.set_coupling take them: at most four rows of four
// numbers, and one limit per row.
#pragma once

#include "convert.hpp"
#include "native.hpp"

namespace kestrel::py::native {

// convert_rows converts slots[rows_index] and slots[rows_index + 1] (the
// limits); an omitted one is empty. TypeError or ValueError on failure.
bool convert_rows(const Signature& sig, std::size_t rows_index, PyObject* const* slots, LinearConstraints4& out);

}  // namespace kestrel::py::native
