#include "boundary/process_mark.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace kestrel {

namespace {

// Advanced in every child, by the handler below; read without a lock.
std::atomic<std::uint64_t> g_generation{0};
std::atomic<bool> g_watching{false};

extern "C" void advance_generation() { g_generation.fetch_add(1, std::memory_order_relaxed); }

// Registers the handler once. Two threads may both register it before either
// records that: the generation then advances twice per fork, which changes
// nothing, and no lock is needed that a fork could leave held.
bool watch_forks() noexcept {
    if (g_watching.load(std::memory_order_acquire)) return true;
    if (pthread_atfork(nullptr, nullptr, advance_generation) != 0) return false;
    g_watching.store(true, std::memory_order_release);
    return true;
}

}  // namespace

ProcessMark ProcessMark::current() noexcept {
    ProcessMark mark;
    mark.watched_ = watch_forks();
    mark.generation_ = g_generation.load(std::memory_order_relaxed);
    mark.pid_ = getpid();
    return mark;
}

bool ProcessMark::belongs_here() const noexcept {
    if (watched_) return g_generation.load(std::memory_order_relaxed) == generation_;
    return getpid() == pid_;
}

}  // namespace kestrel
