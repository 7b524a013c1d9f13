// The C face of the receipt log: the writer and the verifier in caller-placed
// storage (placement/placed.hpp), as the receipt guard's.
#include <cstdint>
#include <cstring>
#include <new>

#include "audit/log_verifier.hpp"
#include "audit/log_writer.hpp"
#include "kestrel_log.h"
#include "placement/placed.hpp"
#include "receipts/sha256.hpp"

namespace kestrel::audit {
namespace {

constexpr std::uint64_t kLogMark = 0x4b45535452454c4c;  // "KESTRELL"
using PlacedWriter = Placed<LogWriter, KestrelLogWriter, KESTREL_LOG_WRITER_ALIGN, kLogMark>;
using PlacedVerifier = Placed<LogVerifier, KestrelLogVerifier, KESTREL_LOG_VERIFIER_ALIGN, kLogMark>;

static_assert(WRITTEN_LINE_MAX == KESTREL_LOG_LINE_MAX && MAX_LINE == KESTREL_LOG_READ_MAX);
static_assert(FINGERPRINT_LEN == KESTREL_LOG_FINGERPRINT_LEN);

// The object is made from a copy of the key, taken before the storage is
// wiped: `key` may point into it.
template <typename Placement, typename Opaque>
KestrelError init(Opaque* opaque, const std::uint8_t* key) noexcept {
    if (key == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    const kestrel::Key copy = kestrel::Key::from_bytes(key);
    return Placement::make(opaque, copy) != nullptr ? KESTREL_OK : KESTREL_ERROR_INVALID_POINTER;
}

template <typename Placement, typename Opaque>
KestrelError wipe(Opaque* opaque) noexcept {
    return Placement::wipe(opaque) ? KESTREL_OK : KESTREL_ERROR_INVALID_POINTER;
}

}  // namespace
}  // namespace kestrel::audit

using namespace kestrel::audit;

extern "C" {

KESTREL_API KestrelError kestrel_log_writer_init(KestrelLogWriter* writer, const uint8_t key[KESTREL_KEY_LEN]) {
    return init<PlacedWriter>(writer, key);
}

KESTREL_API KestrelError kestrel_log_writer_record(KestrelLogWriter* writer, int32_t axis, double position,
                                                   double velocity, const uint8_t receipt[KESTREL_RECEIPT_WIRE_LEN],
                                                   char line[KESTREL_LOG_LINE_MAX], size_t* length) {
    LogWriter* w = PlacedWriter::object(writer);
    if (w == nullptr || receipt == nullptr || line == nullptr || length == nullptr) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    return w->record(axis, position, velocity, receipt, line, *length);
}

KESTREL_API KestrelError kestrel_log_writer_refusal(KestrelLogWriter* writer, KestrelError kind, int32_t axis,
                                                    double position, double velocity, uint64_t time_ns,
                                                    char line[KESTREL_LOG_LINE_MAX], size_t* length) {
    LogWriter* w = PlacedWriter::object(writer);
    if (w == nullptr || line == nullptr || length == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    return w->refusal(kind, axis, position, velocity, time_ns, line, *length);
}

KESTREL_API KestrelError kestrel_log_writer_trip(KestrelLogWriter* writer, const KestrelTrip* trip,
                                                 char line[KESTREL_LOG_LINE_MAX], size_t* length) {
    LogWriter* w = PlacedWriter::object(writer);
    if (w == nullptr || trip == nullptr || line == nullptr || length == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    return w->trip(*trip, line, *length);
}

KESTREL_API KestrelError kestrel_log_writer_seal(KestrelLogWriter* writer, int final, char line[KESTREL_LOG_LINE_MAX],
                                                 size_t* length) {
    LogWriter* w = PlacedWriter::object(writer);
    if (w == nullptr || line == nullptr || length == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    return w->seal(final != 0, line, *length);
}

KESTREL_API KestrelError kestrel_log_writer_rekey(KestrelLogWriter* writer, const uint8_t key[KESTREL_KEY_LEN],
                                                  char line[KESTREL_LOG_LINE_MAX], size_t* length) {
    LogWriter* w = PlacedWriter::object(writer);
    if (w == nullptr || key == nullptr || line == nullptr || length == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    return w->rekey(kestrel::Key::from_bytes(key), line, *length);
}

KESTREL_API KestrelError kestrel_log_writer_lines(const KestrelLogWriter* writer, uint64_t* lines) {
    const LogWriter* w = PlacedWriter::object(writer);
    if (w == nullptr || lines == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    *lines = w->lines();
    return KESTREL_OK;
}

KESTREL_API KestrelError kestrel_log_writer_wipe(KestrelLogWriter* writer) { return wipe<PlacedWriter>(writer); }

KESTREL_API KestrelError kestrel_log_verifier_init(KestrelLogVerifier* verifier, const uint8_t key[KESTREL_KEY_LEN]) {
    return init<PlacedVerifier>(verifier, key);
}

KESTREL_API KestrelError kestrel_log_verifier_add_key(KestrelLogVerifier* verifier,
                                                      const uint8_t key[KESTREL_KEY_LEN]) {
    LogVerifier* v = PlacedVerifier::object(verifier);
    if (v == nullptr || key == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    return v->add_key(kestrel::Key::from_bytes(key));
}

KESTREL_API KestrelError kestrel_log_verifier_feed(KestrelLogVerifier* verifier, const uint8_t* data, size_t size,
                                                   KestrelLogFindingFn on_finding, void* context) {
    LogVerifier* v = PlacedVerifier::object(verifier);
    if (v == nullptr || (data == nullptr && size != 0)) return KESTREL_ERROR_INVALID_POINTER;
    return v->feed(data, size, on_finding, context);
}

KESTREL_API KestrelError kestrel_log_verifier_finish(KestrelLogVerifier* verifier, KestrelLogFindingFn on_finding,
                                                     void* context, KestrelLogSummary* summary) {
    LogVerifier* v = PlacedVerifier::object(verifier);
    if (v == nullptr || summary == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    return v->finish(on_finding, context, *summary);
}

KESTREL_API KestrelError kestrel_log_verifier_wipe(KestrelLogVerifier* verifier) {
    return wipe<PlacedVerifier>(verifier);
}

KESTREL_API const char* kestrel_log_finding_name(int32_t kind) {
    static constexpr const char* kNames[] = {"unknown", "refused",          "malformed", "seal",
                                             "gap",     "after_final_seal", "torn",      "unknown_key"};
    return kind > 0 && kind <= KESTREL_LOG_UNKNOWN_KEY ? kNames[kind] : kNames[0];
}

KESTREL_API KestrelError kestrel_log_key_fingerprint(const uint8_t key[KESTREL_KEY_LEN],
                                                     uint8_t out[KESTREL_LOG_FINGERPRINT_LEN]) {
    if (key == nullptr || out == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    const Fingerprint fingerprint = key_fingerprint(kestrel::Key::from_bytes(key));
    std::memcpy(out, fingerprint.data(), fingerprint.size());
    return KESTREL_OK;
}

}  // extern "C"
