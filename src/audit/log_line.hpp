// log_line: the lines of a receipt log, as the writer writes them and as the
// verifier reads them. Each is one flat JSON object on one line:
//
//   record      {"axis": 3, "position": 0.25, "velocity": 1.5, "receipt": "<120 hex digits>"}
//   refusal     {"refused": "velocity_exceeded", "axis": 3, "position": 0.25, "velocity": 9.0, "time": <ns>}
//   trip        {"trip": "SLP", "joint": 2, "value": 1.7, "limit": 1.69, "time": <ns>}
//   checkpoint  {"checkpoint": "<64 hex>", "lines": 800, "sha256": "<64 hex>"}
//   final seal  {"seal": "<64 hex>", "lines": 800, "sha256": "<64 hex>"}
//   rotation    {"rotation": "<64 hex>", "lines": 800, "sha256": "<64 hex>", "next_key": "<16 hex>"}
//
// Numbers are spelled as log_number says; "time" is the wall clock in
// nanoseconds since the Unix epoch; hex digits are lowercase. A line is read
// only in exactly the bytes this file writes (keys in this order, one space
// after each colon and comma): what a person reads in a line is what was
// checked, and a seal line, which no receipt tag covers, can carry no byte of
// its own choosing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "audit/log_hash.hpp"
#include "kestrel_error.h"
#include "kestrel_monitor.h"

namespace kestrel::audit {

// The longest line the verifier reads, newline excluded; a longer line is
// malformed (a written line is under 300 bytes).
inline constexpr std::size_t MAX_LINE = 1024;
// Room for the longest line the writer writes, its newline included.
inline constexpr std::size_t WRITTEN_LINE_MAX = 512;

enum class LineType { Record, Refusal, Trip, Seal, Malformed, BadSeal };

struct ParsedLine {
    LineType type = LineType::Malformed;
    std::int32_t axis = 0;                  // Record, Refusal
    double position = 0.0;                  // Record, Refusal
    double velocity = 0.0;                  // Record, Refusal
    bool bare_nan = false;                  // Record: a bare NaN of an older writer, its bits lost
    const std::uint8_t* receipt = nullptr;  // Record: the 60 wire bytes, decoded into `wire`
    std::uint8_t wire[KESTREL_RECEIPT_WIRE_LEN];
    KestrelError kind = 0;                 // Refusal: the refusal it records
    std::uint64_t time_ns = 0;             // Refusal, Trip
    KestrelTrip trip{};                    // Trip: its function, joint, value and limit (time in time_ns)
    SealKind seal_kind = SealKind::Final;  // Seal
    Digest tag{};                          // Seal
    std::uint64_t lines = 0;               // Seal: lines it covers
    Digest sha256{};                       // Seal: their digest
    Fingerprint next_key{};                // Seal of kind Rotation: the key the lines after it are under
    char problem[160];                     // Malformed, BadSeal: what is wrong, NUL-terminated
};

// parse_line reads one line (without its newline) into out. Never fails:
// a line that is not one the writer writes comes back as Malformed, or as
// BadSeal when it begins as a seal line, with out.problem saying why.
void parse_line(std::string_view line, ParsedLine& out) noexcept;

// The writers of the lines: each writes the line and its newline to
// `out` (WRITTEN_LINE_MAX bytes) and returns its length. `kind` must be a
// value with a name in the error catalogue.
std::size_t format_record(std::int32_t axis, double position, double velocity,
                          const std::uint8_t receipt[KESTREL_RECEIPT_WIRE_LEN], char* out) noexcept;
std::size_t format_refusal(KestrelError kind, std::int32_t axis, double position, double velocity,
                           std::uint64_t time_ns, char* out) noexcept;
// `trip.function` must be a safety function that trips (trip_function).
std::size_t format_trip(const KestrelTrip& trip, char* out) noexcept;
std::size_t format_seal(SealKind kind, const Digest& tag, std::uint64_t lines, const Digest& sha256,
                        const Fingerprint& next_key, char* out) noexcept;

// read_hex8 reads the eight characters at `text` as eight lowercase hex
// digits into four bytes (the first two digits the first byte) and returns
// true, or returns false, `out` untouched, if any of them is not one. A line
// holds 184 hex digits, so they are read eight at a time, without a branch
// per digit.
bool read_hex8(const char* text, std::uint8_t out[4]) noexcept;

// trip_function returns the KestrelSafetyFunction whose name is `name`, or
// KESTREL_TRIP_NONE if no function that trips has that name.
KestrelSafetyFunction trip_function(std::string_view name) noexcept;

// refusal_kind returns the KestrelError whose catalogue name is `name`, or 0
// if no value but success has that name.
KestrelError refusal_kind(std::string_view name) noexcept;

}  // namespace kestrel::audit
