// KestrelBoundary: gates each actuator command with a velocity limit and a
// one-second rate limit, then signs it through the boundary interceptor and
// answers with a KestrelReceipt, or raises.
#include <openssl/crypto.h>
#include <time.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "classes.hpp"
#include "convert.hpp"
#include "decimal_text.hpp"
#include "receipts/action_id.hpp"
#include "receipts/interceptor.hpp"
#include "boundary/random_source.hpp"
#include "boundary/rate_window.hpp"
#include "receipt.hpp"
#include "violation.hpp"

namespace kestrel::py {

namespace {

// The key of boundaries built without one. For development only: it is in
// every copy of this library, so a deployment passes its own hmac_key.
constexpr Key kDefaultKey = {'K', 'E', 'S', 'T', 'R', 'E', 'L', '-', 'D', 'E', 'V', 'E', 'L', 'O', 'P', 'M',
                             'E', 'N', 'T', '-', 'O', 'N', 'L', 'Y', '-', 'K', 'E', 'Y', '-', 'v', '1', '.'};

// The real-time clock in nanoseconds since the Unix epoch (wrapping u64
// arithmetic), or 0 before the epoch.
std::uint64_t wall_clock_ns() noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec < 0) return 0;
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(now.tv_nsec);
}

// Everything that changes under a call, except the sequence counter.
struct BoundaryState {
    BoundaryState(const Key& key, std::uint64_t now_ns) noexcept : interceptor(key), rate_window(now_ns) {}

    BoundaryInterceptor interceptor;  // signs and checks each action
    RateWindow rate_window;           // calls counted in the current one-second window
    NonceSource nonce_source;         // this boundary's own vDSO random state
};

// The C++ part of the Python object, built in place by tp_new.
struct BoundaryCore {
    BoundaryCore(const Key& key, std::uint64_t rate_limit_, double max_velocity_rad_s_) noexcept
        : state(key, wall_clock_ns()), rate_limit(rate_limit_), max_velocity_rad_s(max_velocity_rad_s_) {}

    std::mutex state_mutex;                         // guards `state`
    BoundaryState state;
    const std::uint64_t rate_limit;                 // most calls admitted in one window
    const double max_velocity_rad_s;                // velocity limit
    std::atomic<std::uint64_t> sequence_counter{0}; // last sequence id handed out
};

struct BoundaryObject {
    PyObject_HEAD
    BoundaryCore core;
};

constexpr const char* kNewParams[] = {"rate_limit", "max_velocity_rad_s", "monotonic_window_size", "hmac_key"};
constexpr Signature kNewSignature{"KestrelBoundary", kNewParams, 0};

PyObject* boundary_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* slots[4];
    if (!bind_tuple(kNewSignature, args, kwargs, slots)) return nullptr;
    std::uint64_t rate_limit = 1000;
    double max_velocity = 4.18;
    std::uint64_t window_size = 64;  // accepted and converted; the nonce window stays at 1024
    if (slots[0] != nullptr && !argument(kNewSignature, 0, slots[0], rate_limit)) return nullptr;
    if (slots[1] != nullptr && !argument(kNewSignature, 1, slots[1], max_velocity)) return nullptr;
    if (slots[2] != nullptr && !argument(kNewSignature, 2, slots[2], window_size)) return nullptr;

    Key key = kDefaultKey;
    if (slots[3] != nullptr && slots[3] != Py_None) {
        ByteView key_bytes;
        if (!argument(kNewSignature, 3, slots[3], key_bytes)) return nullptr;
        if (key_bytes.size != KEY_LEN) {
            PyErr_SetString(PyExc_ValueError, "hmac_key must be exactly 32 bytes");
            return nullptr;
        }
        std::memcpy(key.data(), key_bytes.data, KEY_LEN);
    }

    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) new (&reinterpret_cast<BoundaryObject*>(self)->core) BoundaryCore(key, rate_limit, max_velocity);
    OPENSSL_cleanse(key.data(), key.size());
    return self;
}

void boundary_dealloc(PyObject* self) {
    reinterpret_cast<BoundaryObject*>(self)->core.~BoundaryCore();  // wipes the key
    free_instance(self);
}

PyObject* refuse_velocity(std::int32_t axis, double velocity, double limit) {
    char velocity_text[kDecimalTextCapacity];
    char limit_text[kDecimalTextCapacity];
    const std::string_view v = decimal_text(velocity, velocity_text);
    const std::string_view l = decimal_text(limit, limit_text);
    char message[2 * kDecimalTextCapacity + 64];
    const int length = std::snprintf(message, sizeof message,
                                     "commanded_velocity %.*s rad/s exceeds max_velocity_rad_s %.*s rad/s",
                                     static_cast<int>(v.size()), v.data(), static_cast<int>(l.size()), l.data());
    return raise_violation(axis, "velocity_exceeded", std::string_view(message, static_cast<std::size_t>(length)));
}

// What a call decided while it held the state lock; turned into a Python
// result or exception only after the lock is released.
struct Decision {
    enum class Kind { Accepted, RateLimited, NonceFailure, Refused } kind = Kind::Accepted;
    int os_error = 0;                          // NonceFailure
    SecurityError error = SecurityError::Ok;   // Refused
    Receipt receipt;                           // Accepted
};

Decision decide(BoundaryCore& core, std::span<const std::uint8_t> action_bytes, const Payload& payload) {
    const std::lock_guard<std::mutex> lock(core.state_mutex);
    BoundaryState& state = core.state;
    Decision decision;

    // One clock reading serves the rate window and the receipt's timestamp.
    const std::uint64_t now_ns = wall_clock_ns();
    if (!state.rate_window.admit(now_ns, core.rate_limit)) {
        decision.kind = Decision::Kind::RateLimited;
        return decision;
    }

    const std::uint64_t sequence_id = core.sequence_counter.fetch_add(1) + 1;

    Nonce nonce;
    if (const int error = state.nonce_source.fill(nonce); error != 0) {
        decision.kind = Decision::Kind::NonceFailure;
        decision.os_error = error;
        return decision;
    }

    SecurityError error =
        state.interceptor.issue_receipt(nonce, now_ns, sequence_id, action_bytes, payload, decision.receipt);
    if (error == SecurityError::Ok) {
        error = state.interceptor.intercept_and_authorize(action_bytes, payload, decision.receipt);
    }
    if (error != SecurityError::Ok) {
        decision.kind = Decision::Kind::Refused;
        decision.error = error;
    }
    return decision;
}

constexpr const char* kAuthorizeParams[] = {"target_axis", "requested_position", "commanded_velocity"};
constexpr Signature kAuthorizeSignature{"authorize_action", kAuthorizeParams, 3};

PyObject* authorize_action(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[3];
    if (!bind_fastcall(kAuthorizeSignature, args, nargs, kwnames, slots)) return nullptr;
    std::int32_t axis = 0;
    double position = 0.0;
    double velocity = 0.0;
    if (!argument(kAuthorizeSignature, 0, slots[0], axis) || !argument(kAuthorizeSignature, 1, slots[1], position) ||
        !argument(kAuthorizeSignature, 2, slots[2], velocity)) {
        return nullptr;
    }
    // The method descriptor has already checked the receiver's type.
    BoundaryCore& core = reinterpret_cast<BoundaryObject*>(self)->core;

    // Fail closed: admit only a velocity that compares within the limit, so
    // a NaN velocity or a NaN limit is refused. Checked before the lock.
    if (!(std::fabs(velocity) <= core.max_velocity_rad_s)) {
        return refuse_velocity(axis, velocity, core.max_velocity_rad_s);
    }

    const kestrel::AxisActionId action_id = kestrel::axis_action_id(axis);
    const Payload payload = kestrel::axis_payload(position, velocity);

    const Decision decision = decide(core, action_id.bytes(), payload);
    switch (decision.kind) {
        case Decision::Kind::Accepted: return new_receipt(decision.receipt, action_id, payload);
        case Decision::Kind::RateLimited: return raise_violation(axis, "rate_limited", "action rate limit exceeded");
        case Decision::Kind::NonceFailure:
            PyErr_Format(PyExc_RuntimeError, "failed to generate nonce: %s", random_failure_text(decision.os_error));
            return nullptr;
        case Decision::Kind::Refused: return kestrel_error_to_py_err(axis, decision.error);
    }
    return nullptr;
}

PyMethodDef kMethods[] = {
    {"authorize_action", as_method(authorize_action), METH_FASTCALL | METH_KEYWORDS,
     "authorize_action($self, target_axis, requested_position, commanded_velocity)\n--\n\n"
     "Authorize a single actuator command and return a signed receipt."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("KestrelBoundary(rate_limit=1000, max_velocity_rad_s=4.18, monotonic_window_size=64, "
                       "hmac_key=None)\n--\n\nDeterministic edge governor that authorizes physical actions.")},
    {Py_tp_new, reinterpret_cast<void*>(boundary_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boundary_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.KestrelBoundary", sizeof(BoundaryObject), 0, kClassFlags, kSlots};

PyObject* g_type = nullptr;

}  // namespace

PyTypeObject* boundary_type() { return cached_type(g_type, kSpec); }

}  // namespace kestrel::py
