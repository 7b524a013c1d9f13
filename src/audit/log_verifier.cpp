#include "audit/log_verifier.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "receipts/action_id.hpp"
#include "receipts/constant_time.hpp"
#include "receipts/receipt_guard.hpp"

namespace kestrel::audit {

LogVerifier::LogVerifier(const Key& key) noexcept : gate_(key), keys_(key) {
    given_[0] = key;
    fingerprints_[0] = key_fingerprint(key);
}

KestrelError LogVerifier::add_key(const Key& key) noexcept {
    if (finished_) return KESTREL_ERROR_LOG_CLOSED;
    if (given_count_ == KESTREL_LOG_MAX_KEYS) return KESTREL_ERROR_LOG_KEYS;
    given_[given_count_] = key;
    fingerprints_[given_count_] = key_fingerprint(key);
    ++given_count_;
    return KESTREL_OK;
}

void LogVerifier::switch_to(std::size_t index) noexcept {
    gate_.rekey(given_[index]);  // the sequence ids and nonces carry on, as the boundary's do
    keys_.rekey(given_[index]);
    unknown_ = false;
}

template <typename Holds>
void LogVerifier::choose_first_key(Holds holds) noexcept {
    if (chosen_) return;
    chosen_ = true;
    if (given_count_ == 1) return;  // one key: a line that fails under it is a failure, and says so
    for (std::size_t i = 0; i < given_count_; ++i) {
        if (holds(given_[i])) {
            if (i != 0) switch_to(i);
            return;
        }
    }
    // Given the keys of a log that rotates, and none holds: the log began
    // under a key not given (or its first line was changed, which no key
    // can tell); either way nothing of this segment is vouched for.
    unknown_ = true;
    if (summary_.first_unchecked_line == 0) summary_.first_unchecked_line = summary_.lines;
    report(KESTREL_LOG_UNKNOWN_KEY, 0,
           "unknown_key: none of the keys given verifies this line, the first the log's first key signed: the lines "
           "up to its first rotation are under a key that is not among the keys given; they are not checked");
}

void LogVerifier::follow(const Fingerprint& next) noexcept {
    chosen_ = true;
    for (std::size_t i = 0; i < given_count_; ++i) {
        if (fingerprints_[i] == next) {
            switch_to(i);
            return;
        }
    }
    unknown_ = true;
    if (summary_.first_unchecked_line == 0) summary_.first_unchecked_line = summary_.lines + 1;
    char hex[2 * FINGERPRINT_LEN + 1];
    for (std::size_t i = 0; i < FINGERPRINT_LEN; ++i) std::snprintf(hex + 2 * i, 3, "%02x", next[i]);
    report(KESTREL_LOG_UNKNOWN_KEY, 0,
           "unknown_key: the lines after this rotation are under the key with fingerprint %s, which is not among "
           "the keys given; they are not checked",
           hex);
}

template <typename... Args>
void LogVerifier::report(KestrelLogFindingKind kind, KestrelError error, const char* format, Args... args) noexcept {
    if (on_finding_ == nullptr || stop_) return;
    // A text without arguments is copied as it is, so it holds no format.
    if constexpr (sizeof...(Args) == 0) {
        std::snprintf(text_, sizeof text_, "%s", format);
    } else {
        std::snprintf(text_, sizeof text_, format, args...);
    }
    // The text quotes the line it is about: only printable ASCII leaves here.
    for (char* c = text_; *c != '\0'; ++c) {
        if (*c < 0x20 || *c > 0x7e) *c = '?';
    }
    const KestrelLogFinding finding{summary_.lines, kind, error, text_};
    stop_ = on_finding_(context_, &finding) != 0;
}

void LogVerifier::mark_bad() noexcept {
    if (summary_.first_bad_line == 0) summary_.first_bad_line = summary_.lines;
}

KestrelError LogVerifier::feed(const std::uint8_t* data, std::size_t size, KestrelLogFindingFn on_finding,
                               void* context) noexcept {
    if (finished_) return KESTREL_ERROR_LOG_CLOSED;
    on_finding_ = on_finding;
    context_ = context;
    const std::uint8_t* p = data;
    const std::uint8_t* const end = data + size;
    const std::uint8_t* pending = data;  // [pending, p) is checked but not yet hashed
    while (p < end && !stop_) {
        const auto* newline = static_cast<const std::uint8_t*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        const std::uint8_t* line_end = newline != nullptr ? newline : end;
        if (skipping_) {
            skipping_ = newline == nullptr;
            p = newline != nullptr ? newline + 1 : end;
            continue;
        }
        if (carry_len_ == 0 && newline != nullptr) {
            const std::string_view line(reinterpret_cast<const char*>(p), static_cast<std::size_t>(newline - p));
            parse_line(line, parsed_);
            if (parsed_.type == LineType::Seal) {
                hash(pending, p);  // a seal covers exactly the bytes before it
                pending = p;
            }
            check_line(true);
            p = newline + 1;
            continue;
        }
        // A line begun in an earlier feed, or going on into a later one:
        // gather it in carry_, whose bytes are hashed apart from the stream.
        hash(pending, p);
        const std::size_t take = std::min(static_cast<std::size_t>(line_end - p), sizeof carry_ - carry_len_);
        std::memcpy(carry_ + carry_len_, p, take);
        carry_len_ += take;
        p += take;
        pending = p;
        const bool too_long = carry_len_ > MAX_LINE;
        if (!too_long && newline == nullptr) break;
        const std::string_view line(reinterpret_cast<const char*>(carry_), carry_len_);
        parse_line(line, parsed_);
        check_line(true);
        hash_.update(carry_, carry_len_);
        carry_len_ = 0;
        if (too_long) {
            skipping_ = true;  // the rest of it, up to its newline, is hashed with the stream
        } else {
            p = newline + 1;  // its newline is the first pending byte
        }
    }
    hash(pending, p);
    if (stop_) return KESTREL_ERROR_LOG_STOPPED;
    return KESTREL_OK;
}

KestrelError LogVerifier::finish(KestrelLogFindingFn on_finding, void* context, KestrelLogSummary& summary) noexcept {
    if (finished_) return KESTREL_ERROR_LOG_CLOSED;
    on_finding_ = on_finding;
    context_ = context;
    if (carry_len_ != 0 && !stop_) {
        check_line(false);
        carry_len_ = 0;
    }
    finished_ = true;
    KestrelLogSummary& s = summary_;
    std::uint64_t refused = s.malformed + s.bad_seals;
    for (std::uint64_t n : s.refused) refused += n;
    s.seal = s.bad_seals != 0                                         ? KESTREL_LOG_SEAL_INVALID
             : s.final_seal_line != 0 && s.final_seal_line == s.lines ? KESTREL_LOG_SEAL_VALID
                                                                      : KESTREL_LOG_SEAL_MISSING;
    s.verdict = refused != 0 ? KESTREL_LOG_FAILED : s.unchecked != 0 ? KESTREL_LOG_UNCHECKED : KESTREL_LOG_OK;
    const bool faultless = refused == 0 && s.gaps == 0 && s.after_final_seal == 0;
    s.strict_verdict = !faultless                         ? KESTREL_LOG_FAILED
                       : s.unchecked != 0                 ? KESTREL_LOG_UNCHECKED
                       : s.seal == KESTREL_LOG_SEAL_VALID ? KESTREL_LOG_OK
                                                          : KESTREL_LOG_UNFINISHED;
    summary = s;
    return stop_ ? KESTREL_ERROR_LOG_STOPPED : KESTREL_OK;
}

void LogVerifier::check_line(bool terminated) noexcept {
    const std::uint64_t number = ++summary_.lines;
    if (summary_.final_seal_line != 0 && summary_.after_final_seal == 0) {
        summary_.after_final_seal = number;
        report(KESTREL_LOG_AFTER_FINAL_SEAL, 0, "after_final_seal: follows the final seal of line %" PRIu64,
               summary_.final_seal_line);
    }
    if (!terminated) {
        // Whatever it holds, a last line without its newline is where a
        // writer stopped: nothing vouches for it, and nothing in it is wrong.
        summary_.torn_line = number;
        report(KESTREL_LOG_TORN, 0,
               "torn: the last line has no newline; the writer stopped in the middle of it, and it is not checked");
        return;
    }
    switch (parsed_.type) {
        case LineType::Malformed:
            ++summary_.malformed;
            mark_bad();
            report(KESTREL_LOG_MALFORMED, 0, "malformed: %s", parsed_.problem);
            return;
        case LineType::BadSeal:
            ++summary_.bad_seals;
            mark_bad();
            report(KESTREL_LOG_BAD_SEAL, 0, "seal: not a seal line as a writer writes it: %s", parsed_.problem);
            return;
        case LineType::Seal:
            check_seal();
            return;
        case LineType::Refusal:
            ++summary_.refusals[parsed_.kind];
            return;
        case LineType::Trip:
            static_assert(KESTREL_LOG_TRIP_FUNCTIONS > KESTREL_TRIP_MEASUREMENT, "every function is counted");
            ++summary_.trips[parsed_.trip.function];
            return;
        case LineType::Record:
            check_record();
            return;
    }
}

void LogVerifier::check_seal() noexcept {
    const std::uint64_t number = summary_.lines;
    const auto tag_of = [this](const SealKeys& keys) {
        return keys.tag(parsed_.seal_kind, parsed_.lines, parsed_.sha256, parsed_.next_key);
    };
    choose_first_key([&](const Key& key) { return constant_time_equal(tag_of(SealKeys(key)), parsed_.tag); });
    if (unknown_) {
        ++summary_.unchecked;
        if (parsed_.seal_kind == SealKind::Rotation) follow(parsed_.next_key);
        return;
    }
    const char* problem = nullptr;
    char counted[160];
    if (!constant_time_equal(tag_of(keys_), parsed_.tag)) {
        problem = "its tag does not match its count and digest (the key is wrong, or the seal was edited)";
    } else if (parsed_.lines != number - 1) {
        std::snprintf(counted, sizeof counted,
                      "it seals %" PRIu64 " lines but %" PRIu64 " precede it (lines were removed or added)",
                      parsed_.lines, number - 1);
        problem = counted;
    } else if (hash_.digest() != parsed_.sha256) {
        problem = "the lines before it are not the lines it sealed (a line was changed)";
    }
    if (problem != nullptr) {
        ++summary_.bad_seals;
        mark_bad();
        report(KESTREL_LOG_BAD_SEAL, 0, "seal: %s", problem);
    } else {
        summary_.sealed_through = number;
        if (parsed_.seal_kind == SealKind::Final) summary_.final_seal_line = number;
        if (parsed_.seal_kind == SealKind::Rotation) ++summary_.rotations;
    }
    // A rotation that fails is still followed, so the lines after it are
    // checked under the key it names rather than all refused.
    if (parsed_.seal_kind == SealKind::Rotation) follow(parsed_.next_key);
}

void LogVerifier::check_record() noexcept {
    const std::uint64_t number = summary_.lines;
    const Receipt receipt = Receipt::from_bytes(parsed_.receipt);
    const std::uint64_t sequence_id = receipt.sequence_id;
    choose_first_key([&](const Key& key) {
        return check_tag(HmacKeyState(key), axis_action_id(parsed_.axis).bytes(),
                         axis_payload(parsed_.position, parsed_.velocity), receipt) == KESTREL_OK;
    });
    if (unknown_) {
        // Not checked; its id only keeps the gap count of the next segment honest.
        ++summary_.unchecked;
        last_id_ = sequence_id;
        last_line_ = number;
        return;
    }
    const KestrelError refusal = check_action(gate_, receipt, parsed_.axis, parsed_.position, parsed_.velocity);
    if (refusal != KESTREL_OK) {
        if (refusal > 0 && refusal < KESTREL_LOG_KINDS) ++summary_.refused[refusal];
        mark_bad();
        const bool lost = parsed_.bare_nan && refusal == KESTREL_ERROR_AUTHENTICATION_FAILURE;
        report(KESTREL_LOG_REFUSED, refusal, "%s: sequence id %" PRIu64 ", after %" PRIu64 " accepted (%s)%s",
               kestrel_error_name(refusal), sequence_id, last_id_, kestrel_error_message(refusal),
               lost ? "; a bare NaN of an older writer lost its bits" : "");
        return;
    }
    ++summary_.accepted;
    if (sequence_id != last_id_ + 1) {
        ++summary_.gaps;
        if (summary_.first_gap_line == 0) summary_.first_gap_line = number;
        char where[96] = "at the start";
        if (last_line_ != 0) {
            std::snprintf(where, sizeof where, "after line %" PRIu64 " (id %" PRIu64 ")", last_line_, last_id_);
        }
        report(KESTREL_LOG_GAP, 0, "ids %" PRIu64 "..%" PRIu64 " missing %s, before line %" PRIu64 " (id %" PRIu64 ")",
               last_id_ + 1, sequence_id - 1, where, number, sequence_id);
    }
    last_id_ = sequence_id;
    last_line_ = number;
}

}  // namespace kestrel::audit
