// Cost of one tag and of one interception, beside OpenSSL's one-shot HMAC()
// over the same message bytes, and of one signed command from C.
//
// Tags are measured for a 6-byte action id ("axis_3": two inner compressions)
// and a 64-byte one (three). Interceptions that are accepted change the
// replay gate, so those benchmarks present a pre-issued stream of receipts and
// rebuild the replay gate, outside the timed region, when the stream runs out.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "kestrel.h"
#include "receipts/action_id.hpp"
#include "receipts/replay_gate.hpp"
#include "receipts/hmac.hpp"
#include "security_testing.hpp"

namespace {

using kestrel::Key;
using kestrel::Nonce;
using kestrel::NONCE_WINDOW;
using kestrel::Payload;
using kestrel::Receipt;
using kestrel::ReplayGate;

const Key kKey = kestrel::testing::test_key(0);
constexpr const Payload& kPayload = kestrel::testing::kTestPayload;
constexpr std::uint64_t kTimestamp = kestrel::testing::kTestTimestamp;

Nonce nonce_from(std::uint64_t i) { return kestrel::testing::test_nonce(static_cast<std::uint32_t>(i)); }

std::vector<std::uint8_t> action_id(std::int64_t len) {
    std::vector<std::uint8_t> id{'a', 'x', 'i', 's', '_', '3'};
    id.resize(static_cast<std::size_t>(len), '7');
    return id;
}

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "benchmark setup failed: %s\n", what);
        std::abort();
    }
}

void BM_OpenSslHmac(benchmark::State& state) {
    const auto id = action_id(state.range(0));
    const auto m = kestrel::testing::reference_message(nonce_from(1), kTimestamp, 1, id, kPayload);
    kestrel::Tag tag;
    for (auto _ : state) {
        tag = kestrel::testing::reference_hmac(kKey, m);
        benchmark::DoNotOptimize(tag);
    }
    // Same bytes, same key, so the same tag as ours.
    Receipt r;
    require(kestrel::sign_receipt(kKey, nonce_from(1), kTimestamp, 1, id, kPayload, r) == KESTREL_OK && r.tag == tag,
            "OpenSSL HMAC() and authorize disagree");
}
BENCHMARK(BM_OpenSslHmac)->ArgName("action_id_len")->Arg(6)->Arg(64);

void BM_Authorize(benchmark::State& state) {
    const auto id = action_id(state.range(0));
    const Nonce nonce = nonce_from(1);
    Receipt r;
    for (auto _ : state) {
        benchmark::DoNotOptimize(kestrel::sign_receipt(kKey, nonce, kTimestamp, 1, id, kPayload, r));
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_Authorize)->ArgName("action_id_len")->Arg(6)->Arg(64);

void BM_IssueReceipt(benchmark::State& state) {
    const auto id = action_id(state.range(0));
    const Nonce nonce = nonce_from(1);
    const ReplayGate gate(kKey);
    Receipt r;
    for (auto _ : state) {
        benchmark::DoNotOptimize(gate.issue_receipt(nonce, kTimestamp, 1, id, kPayload, r));
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_IssueReceipt)->ArgName("action_id_len")->Arg(6)->Arg(64);

// Raw room for one replay gate, which is built in place and never moved.
struct alignas(ReplayGate) Slot {
    unsigned char bytes[sizeof(ReplayGate)];
};

// Receipts for sequence ids first, first + 1, ... with distinct nonces.
std::vector<Receipt> receipt_stream(const ReplayGate& issuer, std::uint64_t first, std::size_t count,
                                    const std::vector<std::uint8_t>& id) {
    std::vector<Receipt> stream(count);
    for (std::size_t i = 0; i < count; ++i) {
        require(
            issuer.issue_receipt(nonce_from(first + i), kTimestamp, first + i, id, kPayload, stream[i]) == KESTREL_OK,
            "issue_receipt");
    }
    return stream;
}

// Accepted on an empty ring: each of a small pool of fresh replay gates
// accepts one receipt, then the pool is rebuilt untimed.
void BM_CheckAndAccept_EmptyRing(benchmark::State& state) {
    constexpr std::size_t kPool = 16;
    const auto id = action_id(6);
    const ReplayGate issuer(kKey);
    const Receipt receipt = receipt_stream(issuer, 1, 1, id)[0];

    auto storage = std::make_unique<Slot[]>(kPool);
    auto at = [&](std::size_t i) { return std::launder(reinterpret_cast<ReplayGate*>(&storage[i])); };
    for (std::size_t i = 0; i < kPool; ++i) new (&storage[i]) ReplayGate(kKey);

    std::size_t used = 0;
    for (auto _ : state) {
        if (used == kPool) {
            state.PauseTiming();
            for (std::size_t i = 0; i < kPool; ++i) {
                at(i)->~ReplayGate();
                new (&storage[i]) ReplayGate(kKey);
            }
            used = 0;
            state.ResumeTiming();
        }
        const KestrelError e = at(used++)->check_and_accept(id, kPayload, receipt);
        benchmark::DoNotOptimize(e);
    }
    for (std::size_t i = 0; i < kPool; ++i) at(i)->~ReplayGate();
}
BENCHMARK(BM_CheckAndAccept_EmptyRing);

// Accepted on a full ring: every acceptance looks its nonce up among 1024
// remembered ones and overwrites the oldest, so the ring stays full.
void BM_CheckAndAccept_FullRing(benchmark::State& state) {
    constexpr std::size_t kStream = 8192;
    const auto id = action_id(6);
    const ReplayGate issuer(kKey);
    const std::vector<Receipt> fill = receipt_stream(issuer, 1, NONCE_WINDOW, id);
    const std::vector<Receipt> stream = receipt_stream(issuer, NONCE_WINDOW + 1, kStream, id);

    auto storage = std::make_unique<Slot>();
    ReplayGate* gate = nullptr;
    auto rebuild = [&] {
        if (gate) gate->~ReplayGate();
        gate = new (storage.get()) ReplayGate(kKey);
        for (const Receipt& r : fill) {
            require(gate->check_and_accept(id, kPayload, r) == KESTREL_OK, "fill");
        }
        require(gate->nonce_count() == NONCE_WINDOW, "ring full");
    };
    rebuild();

    std::size_t next = 0;
    for (auto _ : state) {
        if (next == kStream) {
            state.PauseTiming();
            rebuild();
            next = 0;
            state.ResumeTiming();
        }
        const KestrelError e = gate->check_and_accept(id, kPayload, stream[next++]);
        benchmark::DoNotOptimize(e);
    }
    require(gate->nonce_count() == NONCE_WINDOW, "ring still full");
    gate->~ReplayGate();
}
BENCHMARK(BM_CheckAndAccept_FullRing);

// Refused for a bad tag, which changes nothing, so the same receipt can be
// presented again and again: the difference between the two ring sizes is
// the cost of the nonce look-up alone.
void BM_InterceptBadTag(benchmark::State& state) {
    const auto id = action_id(6);
    const auto filled = static_cast<std::size_t>(state.range(0));
    ReplayGate gate(kKey);
    for (const Receipt& r : receipt_stream(gate, 1, filled, id)) {
        require(gate.check_and_accept(id, kPayload, r) == KESTREL_OK, "fill");
    }
    Receipt bad = receipt_stream(gate, filled + 1, 1, id)[0];
    bad.tag[0] ^= 1;
    for (auto _ : state) {
        const KestrelError e = gate.check_and_accept(id, kPayload, bad);
        benchmark::DoNotOptimize(e);
    }
    require(gate.check_and_accept(id, kPayload, bad) == KESTREL_ERROR_AUTHENTICATION_FAILURE, "bad tag refused");
}
BENCHMARK(BM_InterceptBadTag)->ArgName("ring")->Arg(0)->Arg(NONCE_WINDOW);

// The receiving side's stateless check through the C interface: the tag
// recomputed from the key and compared.
void BM_ReceiptVerify(benchmark::State& state) {
    const kestrel::AxisActionId id = kestrel::axis_action_id(3);
    const Payload payload = kestrel::axis_payload(0.25, 1.5);
    Receipt r;
    require(kestrel::sign_receipt(kKey, nonce_from(1), kTimestamp, 1, id.bytes(), payload, r) == KESTREL_OK,
            "authorize");
    const kestrel::ReceiptWire wire = r.to_wire();
    require(kestrel_receipt_verify(kKey.data(), wire.data(), 3, 0.25, 1.5) == 0, "verify");
    for (auto _ : state) {
        benchmark::DoNotOptimize(kestrel_receipt_verify(kKey.data(), wire.data(), 3, 0.25, 1.5));
    }
}
BENCHMARK(BM_ReceiptVerify);

// One signed command from C: kestrel_boundary_authorize on a boundary whose
// nonce ring is full, as in any boundary that has signed 1024 commands. Its
// floor is what it cannot avoid: a nonce and two tags from its primed key
// (BM_IssueReceipt: issue, then the replay gate's recomputation);
// bench_report.py sets the two side by side.
void BM_BoundaryAuthorize(benchmark::State& state) {
    KestrelBoundary* boundary = kestrel_boundary_new(kKey.data(), UINT64_MAX, 4.18, nullptr);
    require(boundary != nullptr, "kestrel_boundary_new");
    std::uint8_t wire[KESTREL_RECEIPT_WIRE_LEN];
    for (std::size_t i = 0; i < NONCE_WINDOW; ++i) {
        require(kestrel_boundary_authorize(boundary, 3, 0.25, 1.5, wire) == KESTREL_OK, "fill the ring");
    }
    for (auto _ : state) {
        if (kestrel_boundary_authorize(boundary, 3, 0.25, 1.5, wire) != KESTREL_OK) std::abort();
        benchmark::DoNotOptimize(wire);
    }
    kestrel_boundary_free(boundary);
}
BENCHMARK(BM_BoundaryAuthorize);

}  // namespace

BENCHMARK_MAIN();
