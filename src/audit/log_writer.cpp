#include "audit/log_writer.hpp"

#include "receipts/receipt_guard.hpp"

#include "errors/error_catalogue.hpp"

namespace kestrel::audit {

LogWriter::LogWriter(const Key& key) noexcept : gate_(key), keys_(key) {}

void LogWriter::take(char* out, std::size_t length) noexcept {
    hash_.update(reinterpret_cast<const std::uint8_t*>(out), length);
    out[length] = '\0';
    ++lines_;
}

KestrelError LogWriter::record(std::int32_t axis, double position, double velocity,
                               const std::uint8_t receipt[KESTREL_RECEIPT_WIRE_LEN], char* out,
                               std::size_t& length) noexcept {
    if (closed_) return KESTREL_ERROR_LOG_CLOSED;
    const KestrelError refusal = check_action(gate_, Receipt::from_bytes(receipt), axis, position, velocity);
    if (refusal != KESTREL_OK) return refusal;
    length = format_record(axis, position, velocity, receipt, out);
    take(out, length);
    return KESTREL_OK;
}

KestrelError LogWriter::refusal(KestrelError kind, std::int32_t axis, double position, double velocity,
                                std::uint64_t time_ns, char* out, std::size_t& length) noexcept {
    if (closed_) return KESTREL_ERROR_LOG_CLOSED;
    if (kind <= 0 || refusal_kind(error_text(kind).name) != kind) return KESTREL_ERROR_LOG_REFUSAL_KIND;
    length = format_refusal(kind, axis, position, velocity, time_ns, out);
    take(out, length);
    return KESTREL_OK;
}

KestrelError LogWriter::trip(const KestrelTrip& trip, char* out, std::size_t& length) noexcept {
    if (closed_) return KESTREL_ERROR_LOG_CLOSED;
    const char* name = kestrel_safety_function_name(trip.function);
    if (name == nullptr || trip_function(name) != trip.function) return KESTREL_ERROR_LOG_TRIP_FUNCTION;
    length = format_trip(trip, out);
    take(out, length);
    return KESTREL_OK;
}

KestrelError LogWriter::seal(bool final, char* out, std::size_t& length) noexcept {
    if (closed_) return KESTREL_ERROR_LOG_CLOSED;
    const SealKind kind = final ? SealKind::Final : SealKind::Checkpoint;
    const Digest digest = hash_.digest();
    length = format_seal(kind, keys_.tag(kind, lines_, digest), lines_, digest, {}, out);
    take(out, length);
    closed_ = final;
    return KESTREL_OK;
}

KestrelError LogWriter::rekey(const Key& next, char* out, std::size_t& length) noexcept {
    if (closed_) return KESTREL_ERROR_LOG_CLOSED;
    if (next.is_zero()) return KESTREL_ERROR_ZERO_KEY;
    const Fingerprint fingerprint = key_fingerprint(next);
    const Digest digest = hash_.digest();
    length = format_seal(SealKind::Rotation, keys_.tag(SealKind::Rotation, lines_, digest, fingerprint), lines_, digest,
                         fingerprint, out);
    take(out, length);
    gate_.rekey(next);  // the sequence ids and nonces carry on, as the boundary's do
    keys_.rekey(next);
    return KESTREL_OK;
}

}  // namespace kestrel::audit
