#include "errors/error_catalogue.hpp"

#include <array>

namespace kestrel {

namespace {

constexpr ErrorText kUnknownRow{"unknown_error", "unknown error value"};

// Rows in value order: the row index is the value. Rows 1 to 9 are the receipt
// codes, whose code strings and messages the Python exception also carries.
constexpr std::array<ErrorText, 43> kCatalogue{{
    {"ok", "success"},
    {"invalid_pointer", "null or misaligned pointer"},
    {"action_id_overflow", "action id exceeds maximum size"},
    {"payload_overflow", "payload exceeds maximum size"},
    {"invalid_receipt", "receipt is malformed"},
    {"invalid_key_length", "key must be 32 bytes"},
    {"authentication_failure", "HMAC verification failed"},
    {"replay_counter", "monotonic counter violation (replay)"},
    {"replay_nonce", "nonce reuse detected"},
    {"hardware_sha_unavailable", "hardware SHA unavailable"},
    {"rate_limited", "action rate limit exceeded"},
    {"velocity_exceeded", "commanded velocity exceeds the velocity limit"},
    {"random_source", "failed to generate nonce"},
    {"bad_joint_count", "the number of joints must be 1 to 32"},
    {"bad_limits",
     "limits must not be NaN, min_position must be below max_position, and every rate limit must be > 0; "
     "a finite position range must not overflow, nor a step per period (velocity * period, "
     "acceleration * period, jerk * period^2) underflow"},
    {"bad_period", "the period must be finite and > 0, and at most 1 second"},
    {"bad_position", "a position is not finite or outside its joint's limits"},
    {"bad_velocity", "a velocity is not finite, or beyond DBL_MAX / 8 * period in magnitude"},
    {"bad_coupling", "coupling needs at most 4 rows and no NaN in a row in use"},
    {"not_coupled", "no coupling is set"},
    {"stale_receipt", "receipt is older, or dated further ahead, than the maximum age"},
    {"invalid_frame", "command frame is malformed (length, version or reserved bytes)"},
    {"out_of_memory", "not enough memory for a new handle"},
    {"bad_envelope", "min_bound must be strictly less than max_bound"},
    {"forked", "the boundary belongs to the process that made it; a forked child makes a boundary of its own"},
    {"bad_joint", "the joint index is not below the limiter's number of joints"},
    {"bad_timeout", "a watchdog's timeout must be > 0"},
    {"zero_key", "a key of 32 zero bytes is refused: anyone can guess it"},
    {"bad_link_id", "a link id must be 1 to 255 bytes"},
    {"key_file", "the key file cannot be used"},
    {"key_derivation", "the cryptographic library could not derive the key"},
    {"log_closed", "the receipt log is closed: it has its final seal, or was checked to its end"},
    {"log_stopped", "the check of the receipt log was stopped by its caller"},
    {"log_refusal_kind", "a refusal line records a named error value, not success or an unknown one"},
    {"description_unreadable", "a robot description file could not be read"},
    {"description_too_large",
     "a robot description file is over its size limit, nests too deep or holds too many nodes"},
    {"description_syntax", "a robot description file is not well-formed XML or YAML of the expected shape"},
    {"description_joint", "a joint is missing from the robot description, named twice, or has no limits"},
    {"description_value", "a value in a robot description is not valid (a finite number, a known key, a range)"},
    {"bad_monitor_config",
     "a monitor's tolerances must be finite and >= 0, its standstill velocity finite and > 0, its stop SS1 or SS2"},
    {"position_out_of_range", "commanded position is outside the axis's position limits"},
    {"log_trip_function", "a trip line records a safety function that tripped, not none or an unknown one"},
    {"log_keys", "a receipt log verifier holds at most 16 keys"},
}};

constexpr ErrorText kUnknown = kUnknownRow;

}  // namespace

ErrorText error_text(KestrelError error) noexcept {
    if (error < 0 || static_cast<std::size_t>(error) >= kCatalogue.size()) return kUnknown;
    return kCatalogue[static_cast<std::size_t>(error)];
}

}  // namespace kestrel

extern "C" {

KESTREL_API const char* kestrel_error_name(KestrelError error) {
    return kestrel::error_text(error).name.data();  // literals: NUL-terminated
}

KESTREL_API const char* kestrel_error_message(KestrelError error) { return kestrel::error_text(error).message.data(); }

}  // extern "C"
