// Which process an object belongs to, so that a copy of it inherited by a
// forked child can tell, before it takes any lock, that it is in the child:
// a lock held by another thread of the parent at the fork is never released
// there.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace kestrel {

class ProcessMark {
public:
    // current marks the calling process. The first call registers a fork
    // handler that advances a generation number in every child, so that
    // belongs_here() is one atomic load; should the registration fail (no
    // memory), the mark compares process ids instead.
    static ProcessMark current() noexcept;

    // belongs_here is true in the process that made the mark, false in any
    // child of it (and of that child). Never blocks.
    [[nodiscard]] bool belongs_here() const noexcept;

private:
    std::uint64_t generation_ = 0;  // the fork generation at marking
    pid_t pid_ = 0;                 // the process id at marking
    bool watched_ = false;          // whether the fork handler keeps the generation
};

}  // namespace kestrel
