// Internal faults: failures that no input can cause. They are never turned
// into Python exceptions; the process reports them and stops.
#pragma once

namespace kestrel::py {

// internal_fault writes "kestrel: internal fault: <what>" to stderr and aborts.
[[noreturn]] void internal_fault(const char* what) noexcept;

}  // namespace kestrel::py
