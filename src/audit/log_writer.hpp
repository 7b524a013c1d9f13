// log_writer: one receipt log being written. It forms every line, keeps the
// running digest of all of them, and takes a record only if a receipt guard
// under the same key would accept it, so that every log written through it
// verifies: the writer and the verifier share the line format, the seal and
// the guard.
#pragma once

#include <cstddef>
#include <cstdint>

#include "audit/log_hash.hpp"
#include "audit/log_line.hpp"
#include "kestrel_log.h"
#include "receipts/replay_gate.hpp"

namespace kestrel::audit {

class LogWriter {
public:
    explicit LogWriter(const Key& key) noexcept;
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // The kestrel_log_writer_* calls on live storage; `out` holds WRITTEN_LINE_MAX bytes.
    KestrelError record(std::int32_t axis, double position, double velocity,
                        const std::uint8_t receipt[KESTREL_RECEIPT_WIRE_LEN], char* out, std::size_t& length) noexcept;
    KestrelError refusal(KestrelError kind, std::int32_t axis, double position, double velocity, std::uint64_t time_ns,
                         char* out, std::size_t& length) noexcept;
    KestrelError trip(const KestrelTrip& trip, char* out, std::size_t& length) noexcept;
    KestrelError seal(bool final, char* out, std::size_t& length) noexcept;
    KestrelError rekey(const Key& next, char* out, std::size_t& length) noexcept;
    [[nodiscard]] std::uint64_t lines() const noexcept { return lines_; }

private:
    void take(char* out, std::size_t length) noexcept;

    ReplayGate gate_;  // the receipt guard's rule, with no maximum age
    SealKeys keys_;
    RunningSha256 hash_;
    std::uint64_t lines_ = 0;
    bool closed_ = false;
};

}  // namespace kestrel::audit
