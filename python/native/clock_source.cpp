// ClockSource and convert_seconds: how the package's clocked objects take
// their clock and their times.
#include "clock_source.hpp"

#include <cmath>

namespace kestrel::py::native {

namespace {

// The C clock of every ClockSource that is not the wall clock: a SimulatedClock's
// counter, or a callable's parked reading.
std::uint64_t read_counter(void* context) {
    return static_cast<const std::atomic<std::uint64_t>*>(context)->load(std::memory_order_relaxed);
}

}  // namespace

bool ClockSource::set(const Signature& sig, std::size_t index, PyObject* given) {
    if (given == nullptr || given == Py_None) return true;
    if (std::atomic<std::uint64_t>* counter = simulated_clock_counter(given); counter != nullptr) {
        counter_ = counter;
    } else if (PyCallable_Check(given)) {
        callable_ = true;
        counter_ = &parked_;
    } else {
        PyErr_Format(PyExc_TypeError,
                     "argument '%s': must be a SimulatedClock, a callable returning int nanoseconds since the Unix "
                     "epoch, or None, not '%s'",
                     sig.names[index], type_name(given));
        return false;
    }
    Py_INCREF(given);
    source_ = given;
    return true;
}

bool ClockSource::prepare() {
    if (!callable_) return true;
    const Ref reading(PyObject_CallNoArgs(source_));
    if (!reading) return false;
    // An int, or an integer that says so (__index__: numpy's); never a bool.
    const Ref number(PyBool_Check(reading.get()) || !PyIndex_Check(reading.get()) ? nullptr
                                                                                  : PyNumber_Index(reading.get()));
    if (!number) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_TypeError, "the clock must return int nanoseconds since the Unix epoch, not '%s'",
                         type_name(reading.get()));
        }
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Format(PyExc_ValueError,
                     "the clock returned %R: nanoseconds since the Unix epoch run from 0 to 2**64 - 1", number.get());
        return false;
    }
    parked_.store(value, std::memory_order_relaxed);
    return true;
}

KestrelClock ClockSource::function() const noexcept { return counter_ == nullptr ? nullptr : read_counter; }

bool convert_seconds(const Signature& sig, std::size_t index, PyObject* given, bool none_allowed,
                     std::uint64_t& nanoseconds) {
    Seconds given_seconds;
    const bool converted = argument(sig, index, given, given_seconds);
    const double seconds = given_seconds.value;
    // An int past the range of a float is one more time out of range.
    if (!converted && !PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    const double scaled = std::round(seconds * 1e9);
    if (!converted || !(seconds > 0.0) || !(scaled < 0x1p64)) {  // NaN fails too
        PyErr_Format(PyExc_ValueError, "%s must be a number of seconds > 0 and below 2**64 nanoseconds (584 years)%s",
                     sig.names[index], none_allowed ? ", or None" : "");
        return false;
    }
    nanoseconds = scaled < 1.0 ? 1 : static_cast<std::uint64_t>(scaled);
    return true;
}

}  // namespace kestrel::py::native
