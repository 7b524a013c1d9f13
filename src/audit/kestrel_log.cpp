// The C face of the receipt log: the writer and the verifier in caller-placed
// storage. `live` tells initialised storage from zeroed or never-initialised
// storage, as the receipt guard's does.
#include <cstdint>
#include <cstring>
#include <new>

#include "audit/log_verifier.hpp"
#include "keys/wipe.hpp"
#include "audit/log_writer.hpp"
#include "kestrel_log.h"
#include "receipts/sha256.hpp"

namespace kestrel::audit {
namespace {

template <typename Object>
struct Storage {
    std::uint64_t live;  // kLive while `object` holds a constructed one
    alignas(Object) unsigned char object[sizeof(Object)];
};
constexpr std::uint64_t kLive = 0x4b45535452454c4c;  // "KESTRELL"

static_assert(sizeof(Storage<LogWriter>) <= KESTREL_LOG_WRITER_SIZE, "the writer outgrew its published size");
static_assert(sizeof(Storage<LogVerifier>) <= KESTREL_LOG_VERIFIER_SIZE, "the verifier outgrew its published size");
static_assert(alignof(Storage<LogWriter>) <= KESTREL_LOG_WRITER_ALIGN);
static_assert(alignof(Storage<LogVerifier>) <= KESTREL_LOG_VERIFIER_ALIGN);
static_assert(WRITTEN_LINE_MAX == KESTREL_LOG_LINE_MAX && MAX_LINE == KESTREL_LOG_READ_MAX);
static_assert(FINGERPRINT_LEN == KESTREL_LOG_FINGERPRINT_LEN);

template <typename Object, typename Opaque>
Storage<Object>* storage_of(Opaque* opaque) noexcept {
    if (opaque == nullptr || reinterpret_cast<std::uintptr_t>(opaque) % 64 != 0) return nullptr;
    return reinterpret_cast<Storage<Object>*>(opaque->opaque);
}

// The live object in `opaque`, or null for null, misaligned or uninitialised storage.
template <typename Object, typename Opaque>
Object* live(Opaque* opaque) noexcept {
    Storage<Object>* s = storage_of<Object>(opaque);
    if (s == nullptr || s->live != kLive) return nullptr;
    return std::launder(reinterpret_cast<Object*>(s->object));
}

template <typename Object, typename Opaque>
KestrelError wipe(Opaque* opaque) noexcept {
    Storage<Object>* s = storage_of<Object>(opaque);
    if (s == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    if (Object* object = live<Object>(opaque)) object->~Object();  // wipes its keys
    kestrel::wipe(opaque->opaque, sizeof opaque->opaque);
    return KESTREL_OK;
}

template <typename Object, typename Opaque>
KestrelError init(Opaque* opaque, const std::uint8_t* key) noexcept {
    if (key == nullptr || wipe<Object>(opaque) != KESTREL_OK) return KESTREL_ERROR_INVALID_POINTER;
    Storage<Object>* s = storage_of<Object>(opaque);
    new (s->object) Object(kestrel::Key::from_bytes(key));  // the copy dies here, wiped
    s->live = kLive;
    return KESTREL_OK;
}

}  // namespace
}  // namespace kestrel::audit

using namespace kestrel::audit;

extern "C" {

KESTREL_API KestrelError kestrel_log_writer_init(KestrelLogWriter* writer, const uint8_t key[KESTREL_KEY_LEN]) {
    return init<LogWriter>(writer, key);
}

KESTREL_API KestrelError kestrel_log_writer_record(KestrelLogWriter* writer, int32_t axis, double position,
                                                   double velocity, const uint8_t receipt[KESTREL_RECEIPT_WIRE_LEN],
                                                   char line[KESTREL_LOG_LINE_MAX], size_t* length) {
    LogWriter* w = live<LogWriter>(writer);
    if (w == nullptr || receipt == nullptr || line == nullptr || length == nullptr) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    return w->record(axis, position, velocity, receipt, line, *length);
}

KESTREL_API KestrelError kestrel_log_writer_refusal(KestrelLogWriter* writer, KestrelError kind, int32_t axis,
                                                    double position, double velocity, uint64_t time_ns,
                                                    char line[KESTREL_LOG_LINE_MAX], size_t* length) {
    LogWriter* w = live<LogWriter>(writer);
    if (w == nullptr || line == nullptr || length == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    return w->refusal(kind, axis, position, velocity, time_ns, line, *length);
}

KESTREL_API KestrelError kestrel_log_writer_seal(KestrelLogWriter* writer, int final, char line[KESTREL_LOG_LINE_MAX],
                                                 size_t* length) {
    LogWriter* w = live<LogWriter>(writer);
    if (w == nullptr || line == nullptr || length == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    return w->seal(final != 0, line, *length);
}

KESTREL_API KestrelError kestrel_log_writer_rekey(KestrelLogWriter* writer, const uint8_t key[KESTREL_KEY_LEN],
                                                  char line[KESTREL_LOG_LINE_MAX], size_t* length) {
    LogWriter* w = live<LogWriter>(writer);
    if (w == nullptr || key == nullptr || line == nullptr || length == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    return w->rekey(kestrel::Key::from_bytes(key), line, *length);
}

KESTREL_API KestrelError kestrel_log_writer_lines(const KestrelLogWriter* writer, uint64_t* lines) {
    const LogWriter* w = live<LogWriter>(const_cast<KestrelLogWriter*>(writer));
    if (w == nullptr || lines == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    *lines = w->lines();
    return KESTREL_OK;
}

KESTREL_API KestrelError kestrel_log_writer_wipe(KestrelLogWriter* writer) { return wipe<LogWriter>(writer); }

KESTREL_API KestrelError kestrel_log_verifier_init(KestrelLogVerifier* verifier, const uint8_t key[KESTREL_KEY_LEN]) {
    return init<LogVerifier>(verifier, key);
}

KESTREL_API KestrelError kestrel_log_verifier_add_key(KestrelLogVerifier* verifier,
                                                      const uint8_t key[KESTREL_KEY_LEN]) {
    LogVerifier* v = live<LogVerifier>(verifier);
    if (v == nullptr || key == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    return v->add_key(kestrel::Key::from_bytes(key));
}

KESTREL_API KestrelError kestrel_log_verifier_feed(KestrelLogVerifier* verifier, const uint8_t* data, size_t size,
                                                   KestrelLogFindingFn on_finding, void* context) {
    LogVerifier* v = live<LogVerifier>(verifier);
    if (v == nullptr || (data == nullptr && size != 0)) return KESTREL_ERROR_INVALID_POINTER;
    return v->feed(data, size, on_finding, context);
}

KESTREL_API KestrelError kestrel_log_verifier_finish(KestrelLogVerifier* verifier, KestrelLogFindingFn on_finding,
                                                     void* context, KestrelLogSummary* summary) {
    LogVerifier* v = live<LogVerifier>(verifier);
    if (v == nullptr || summary == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    return v->finish(on_finding, context, *summary);
}

KESTREL_API KestrelError kestrel_log_verifier_wipe(KestrelLogVerifier* verifier) { return wipe<LogVerifier>(verifier); }

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
