// log_verifier: the check of a receipt log, fed as a stream of bytes.
//
// Records are replayed through one receipt guard under the boundary's key,
// so a line whose tag does not match its action, a repeated line and a line
// out of order are refused, and a jump in the accepted sequence ids (a
// removed line, or an id drawn for a call the boundary then refused) is a
// gap. A seal line must be a writer's exact text and seal exactly the bytes
// before it. A log may change keys at a rotation line, which names the next
// key by its fingerprint: the verifier holds every key it was given, follows
// each rotation to the key it names, and reports a segment under a key it was
// not given, whose lines it cannot check, as such. With several keys, the
// first segment's key is the one under which its first record or seal holds.
// The verifier hashes the stream as it comes, in bulk, and holds
// at most one line of it, so its memory does not grow with the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "audit/log_hash.hpp"
#include "audit/log_line.hpp"
#include "kestrel_log.h"
#include "receipts/replay_gate.hpp"

namespace kestrel::audit {

class LogVerifier {
public:
    explicit LogVerifier(const Key& key) noexcept;

    // add_key is kestrel_log_verifier_add_key on live storage.
    KestrelError add_key(const Key& key) noexcept;
    LogVerifier(const LogVerifier&) = delete;
    LogVerifier& operator=(const LogVerifier&) = delete;

    // feed and finish are kestrel_log_verifier_feed and _finish on live storage.
    KestrelError feed(const std::uint8_t* data, std::size_t size, KestrelLogFindingFn on_finding,
                      void* context) noexcept;
    KestrelError finish(KestrelLogFindingFn on_finding, void* context, KestrelLogSummary& summary) noexcept;

private:
    // check_line checks the line parse_line has just read into parsed_; `terminated`: it had its newline.
    void check_line(bool terminated) noexcept;
    void check_record() noexcept;
    void check_seal() noexcept;
    // choose_first_key switches to the first key given under which `holds`
    // does, once, for the first segment's first record or seal.
    template <typename Holds>
    void choose_first_key(Holds holds) noexcept;
    // follow switches to the key whose fingerprint a rotation names, or
    // marks the lines after it as under a key not given.
    void follow(const Fingerprint& next) noexcept;
    void switch_to(std::size_t index) noexcept;
    template <typename... Args>
    void report(KestrelLogFindingKind kind, KestrelError error, const char* format, Args... args) noexcept;
    void mark_bad() noexcept;
    void hash(const std::uint8_t* from, const std::uint8_t* to) noexcept { hash_.update(from, to - from); }

    ReplayGate gate_;                  // the receipt guard's rule, with no maximum age, under the current key
    SealKeys keys_;                    // the current key's
    Key given_[KESTREL_LOG_MAX_KEYS];  // every key given, the first at init
    Fingerprint fingerprints_[KESTREL_LOG_MAX_KEYS];  // theirs
    std::size_t given_count_ = 1;
    bool chosen_ = false;   // the first segment's key is settled
    bool unknown_ = false;  // the current segment is under a key not given
    RunningSha256 hash_;    // of every byte before the line being checked, once a seal asks for it
    KestrelLogSummary summary_{};
    std::uint64_t last_id_ = 0;    // of the last accepted record
    std::uint64_t last_line_ = 0;  // its line
    bool skipping_ = false;        // inside a line already found too long, until its newline
    bool finished_ = false;
    bool stop_ = false;  // the caller's on_finding asked to stop
    KestrelLogFindingFn on_finding_ = nullptr;
    void* context_ = nullptr;
    std::size_t carry_len_ = 0;
    std::uint8_t carry_[MAX_LINE + 1];  // the start of a line that a later feed completes
    ParsedLine parsed_;
    char text_[512];
};

}  // namespace kestrel::audit
