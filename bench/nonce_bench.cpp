// Cost of one 12-byte nonce: the boundary's source (a vDSO state of its own)
// beside the getrandom system call it falls back to.
#include <benchmark/benchmark.h>
#include <sys/random.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "boundary/random_source.hpp"

namespace {

using Nonce = std::array<std::uint8_t, 12>;

void BM_NonceSource(benchmark::State& state) {
    kestrel::NonceSource source;
    if (!source.has_vdso_state()) state.SkipWithError("this kernel's vDSO has no getrandom");
    Nonce nonce;
    for (auto _ : state) {
        if (source.fill(nonce) != 0) std::abort();
        benchmark::DoNotOptimize(nonce);
    }
}
BENCHMARK(BM_NonceSource);

void BM_GetrandomSyscall(benchmark::State& state) {
    Nonce nonce;
    for (auto _ : state) {
        if (getrandom(nonce.data(), nonce.size(), 0) != static_cast<ssize_t>(nonce.size())) std::abort();
        benchmark::DoNotOptimize(nonce);
    }
}
BENCHMARK(BM_GetrandomSyscall);

}  // namespace

BENCHMARK_MAIN();
