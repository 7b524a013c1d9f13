// Writes receipt_stream.c: receipts this host issues, and then tampers with,
// replays, reorders, sends to another action, signs under another key or
// gives a nonce accepted 1 to 1,100 acceptances before; sequence ids 0 to
// 2^64-1; guards resumed after a restart; receipts out of date for a maximum
// age; a key rotation. Each step carries the answers of
// this host's guard and verifier, which the firmware must give too.
#include <bit>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "kestrel_receipt.h"
#include "receipt_stream.h"
#include "receipts/action_id.hpp"
#include "clock/wall_clock.hpp"

namespace {

std::mt19937_64 rng(0x6b657374);
kestrel::Key keys[2];
KestrelReceiptGuard guard;
std::vector<StreamStep> steps, accepted;
std::size_t accepted_since_resume = 0;
std::uint64_t last_issued = 0;
std::uint64_t timestamp = 0;  // of the receipts signed; random while 0

// Signs the action of s under its key, with `nonce` and `sequence_id`.
void sign(StreamStep& s, const std::uint8_t* nonce, std::uint64_t sequence_id) {
    kestrel::Nonce n;
    std::memcpy(n.data(), nonce, n.size());
    kestrel::Receipt r;
    (void)kestrel::sign_receipt(
        keys[s.key], n, timestamp ? timestamp : rng(), sequence_id, kestrel::axis_action_id(s.axis).bytes(),
        kestrel::axis_payload(std::bit_cast<double>(s.position_bits), std::bit_cast<double>(s.velocity_bits)), r);
    std::memcpy(s.receipt, r.to_wire().data(), sizeof s.receipt);
}

// A receipt for a random action under keys[key], with a fresh nonce or `nonce`.
StreamStep issue(std::uint8_t key, std::uint64_t sequence_id, const std::uint8_t* nonce = nullptr) {
    StreamStep s{};
    s.key = key;
    const std::int32_t axes[] = {0, 3, -1, INT32_MIN, INT32_MAX, static_cast<std::int32_t>(rng())};
    s.axis = axes[rng() % 6];
    s.position_bits = rng() % 4 ? std::bit_cast<std::uint64_t>(double(rng() % 2000) / 100 - 10) : rng();
    s.velocity_bits = rng() % 4 ? std::bit_cast<std::uint64_t>(double(rng() % 9) / 4) : 0x8000000000000000u;
    std::uint8_t fresh[12];
    for (auto& byte : fresh) byte = static_cast<std::uint8_t>(rng());
    sign(s, nonce ? nonce : fresh, sequence_id);
    return s;
}

std::uint64_t next_id() { return last_issued += 1 + rng() % 3; }

// Records step s with the host guard's answer `verdict` and its state after.
void record(StreamStep s, KestrelError verdict) {
    s.verdict = verdict;
    (void)kestrel_receipt_guard_last_sequence_id(&guard, &s.last_sequence_id);
    steps.push_back(s);
}

void present(StreamStep s) {
    const double position = std::bit_cast<double>(s.position_bits), velocity = std::bit_cast<double>(s.velocity_bits);
    s.op = STREAM_CHECK;
    s.verified = kestrel_receipt_verify(keys[s.key].data(), s.receipt, s.axis, position, velocity);
    s.probe = PROBE_NONE;  // a replayed copy is no acceptance
    const KestrelError verdict = kestrel_receipt_guard_check(&guard, s.receipt, s.axis, position, velocity);
    if (verdict == KESTREL_OK) {
        if (accepted_since_resume == 0) s.probe = PROBE_EMPTY_RING;
        if (accepted_since_resume++ >= 1024) s.probe = PROBE_FULL_RING;
        accepted.push_back(s);
    }
    record(s, verdict);
}

void resume(std::uint8_t key, std::uint64_t last_sequence_id) {
    accepted_since_resume = 0;
    record({STREAM_RESUME, key, PROBE_NONE, {}, 0, 0, 0, last_sequence_id, 0, 0, 0},
           kestrel_receipt_guard_resume(&guard, keys[key].data(), last_sequence_id));
}

void add_key(std::uint8_t key) {
    record({STREAM_ADD_KEY, key, PROBE_NONE, {}, 0, 0, 0, 0, 0, 0, 0},
           kestrel_receipt_guard_add_key(&guard, keys[key].data()));
}

void set_max_age(std::uint64_t max_age_ns) {
    record({STREAM_MAX_AGE, 0, PROBE_NONE, {}, 0, 0, 0, max_age_ns, 0, 0, 0},
           kestrel_receipt_guard_set_max_age(&guard, max_age_ns));
}

const StreamStep& accepted_back(std::size_t back) { return accepted[accepted.size() - back]; }

}  // namespace

int main(int argc, char** argv) {
    for (auto& key : keys) {
        for (auto& byte : key) byte = static_cast<std::uint8_t>(rng());
    }
    resume(0, 0);
    for (unsigned i = 0; i < 1100; ++i) {  // a variant of each honest receipt, first
        const StreamStep honest = issue(0, next_id());
        StreamStep variant = honest;
        switch (i % 6) {
            case 0:
                variant.receipt[rng() % 60] ^= static_cast<std::uint8_t>(1u << (i % 8));
                break;
            case 1:
                variant.axis ^= 1;
                break;
            case 2:
                variant.velocity_bits ^= 1;
                break;
            case 3:
                variant.key = 1;
                sign(variant, honest.receipt, last_issued);
                break;
            case 4:
                if (!accepted.empty()) variant = accepted_back(1 + rng() % accepted.size());
                break;
            case 5:
                variant = issue(0, next_id());
                break;  // overtakes `honest`
        }
        present(variant);
        present(honest);
    }
    for (std::size_t back = 1; back <= 1100; ++back) present(issue(0, next_id(), accepted_back(back).receipt));
    present(issue(0, 0));
    resume(0, last_issued);
    for (std::size_t back = 1; back <= 3; ++back) present(accepted_back(back));
    present(issue(0, next_id()));
    resume(1, UINT64_MAX - 1);
    present(issue(1, UINT64_MAX));
    present(issue(1, UINT64_MAX));
    // A rotation: the old key until the first receipt under the next one, then the next one alone.
    resume(0, last_issued);
    add_key(1);
    for (const std::uint8_t key : {0, 0, 1, 0, 1}) present(issue(key, next_id()));
    // A minute's maximum age: ten seconds either way pass, two minutes do not.
    resume(0, last_issued);
    const std::uint64_t now = kestrel::wall_clock_ns(), second = 1'000'000'000;
    set_max_age(60 * second);
    for (const std::uint64_t t : {now - 10 * second, now - 120 * second, now + 120 * second, now + 10 * second}) {
        timestamp = t;
        present(issue(0, next_id()));
    }

    std::FILE* out = argc == 2 ? std::fopen(argv[1], "w") : nullptr;
    if (out == nullptr) return 2;
    auto bytes = [out](const std::uint8_t* data, std::size_t size) {
        std::fputc('{', out);
        for (std::size_t i = 0; i < size; ++i) std::fprintf(out, "%u,", data[i]);
        std::fputs("},", out);
    };
    std::fputs("#include \"receipt_stream.h\"\nconst uint8_t stream_keys[2][KESTREL_KEY_LEN] = {", out);
    for (const auto& key : keys) bytes(key.data(), key.size());
    std::fputs("};\nconst char *const stream_error_names[STREAM_ERROR_NAME_COUNT] = {", out);
    for (KestrelError e = -1; e < STREAM_ERROR_NAME_COUNT - 1; ++e) std::fprintf(out, "\"%s\",", kestrel_error_name(e));
    std::fprintf(out, "};\nconst uint64_t stream_clock_ns = %lluu;\nconst uint32_t stream_length = %zu;\n", 0ull + now,
                 steps.size());
    std::fputs("const StreamStep stream_steps[] = {\n", out);
    for (const StreamStep& s : steps) {
        std::fprintf(out, "{%u,%u,%u,", s.op, s.key, s.probe);
        bytes(s.receipt, sizeof s.receipt);
        std::fprintf(out, "%d,%#llxu,%#llxu,%#llxu,%d,%d,%#llxu},\n", int{s.axis}, 0ull + s.position_bits,
                     0ull + s.velocity_bits, 0ull + s.argument, int{s.verdict}, int{s.verified},
                     0ull + s.last_sequence_id);
    }
    std::fputs("};\n", out);
    return std::fclose(out) == 0 ? 0 : 1;
}
