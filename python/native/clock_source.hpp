// The `clock` argument of the package's Boundary, ReceiptGuard and Watchdog,
// and the seconds they take for an age or a timeout.
//
// The C objects read the time through a KestrelClock. A SimulatedClock is
// read in C, from its own atomic counter, without entering Python. Any other
// callable is called here, by prepare(), before the C call that needs the
// time, and its reading parked for the C clock to pick up. So Python code
// never runs inside a C call (under the boundary's lock, say); a callable
// that raises or returns something else than an int refuses the call before
// anything is signed or checked; and a callable that calls back into the same
// object cannot deadlock. No Python code runs between prepare() and the C
// call, and the interpreter lock is held throughout, so no other thread's
// reading can come between.
#pragma once

#include <atomic>
#include <cstdint>

#include "convert.hpp"
#include "kestrel_clock.h"

namespace kestrel::py::native {

PyTypeObject* simulated_clock_type();  // SimulatedClock

// The counter a SimulatedClock keeps: nanoseconds since the Unix epoch.
std::atomic<std::uint64_t>* simulated_clock_counter(PyObject* clock) noexcept;

class ClockSource {
public:
    ClockSource() noexcept = default;
    ClockSource(const ClockSource&) = delete;
    ClockSource& operator=(const ClockSource&) = delete;
    ~ClockSource() { Py_XDECREF(source_); }

    // set takes the argument `index` of `sig`: None (or omitted: nullptr) for
    // the wall clock, a SimulatedClock, or any other callable. TypeError
    // for anything else. Call it once, on a fresh ClockSource.
    bool set(const Signature& sig, std::size_t index, PyObject* given);

    // prepare reads a callable clock and parks its reading; nothing for the
    // others. False with the callable's exception set, or TypeError for a
    // result that is not an int, ValueError for one outside 0..2**64 - 1.
    bool prepare();

    // The clock and context to give the C object; a null clock is the wall clock.
    [[nodiscard]] KestrelClock function() const noexcept;
    [[nodiscard]] void* context() noexcept { return counter_; }

    // Visits the Python object held, for the cyclic garbage collector.
    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(source_);
        return 0;
    }

private:
    PyObject* source_ = nullptr;                     // the SimulatedClock or the callable; owned
    bool callable_ = false;                          // source_ is called by prepare()
    std::atomic<std::uint64_t> parked_{0};           // a callable's last reading
    std::atomic<std::uint64_t>* counter_ = nullptr;  // what the C clock reads: a SimulatedClock's counter or parked_
};

// convert_seconds turns the argument `index` of `sig`, a positive real number
// of seconds (an age, a timeout), into whole nanoseconds, rounded, and at
// least one: a positive time must never come out as 0. TypeError for a bool
// (the rule of every seconds argument, convert.hpp's Seconds); ValueError for 0, a
// negative number, NaN, infinity and 2**64 nanoseconds or more; its message
// offers None as well when `none_allowed`.
bool convert_seconds(const Signature& sig, std::size_t index, PyObject* given, bool none_allowed,
                     std::uint64_t& nanoseconds);

}  // namespace kestrel::py::native
