#include "audit/log_line.hpp"

#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "audit/log_number.hpp"
#include "errors/error_catalogue.hpp"
#include "kestrel_log.h"
#include "receipts/byte_order.hpp"

namespace kestrel::audit {

namespace {

constexpr char kHex[] = "0123456789abcdef";

static_assert(KESTREL_RECEIPT_WIRE_LEN % 4 == 0 && sha256::DIGEST_LEN % 4 == 0 && FINGERPRINT_LEN % 4 == 0,
              "hex digits are read eight at a time");

// Catalogue values a refusal line may name: those a verifier's summary counts.
constexpr KestrelError kLastKind = KESTREL_LOG_KINDS - 1;

std::size_t put(char* out, std::size_t at, std::string_view text) noexcept {
    std::memcpy(out + at, text.data(), text.size());
    return at + text.size();
}

std::size_t put_hex(char* out, std::size_t at, const std::uint8_t* bytes, std::size_t size) noexcept {
    for (std::size_t i = 0; i < size; ++i) {
        out[at++] = kHex[bytes[i] >> 4];
        out[at++] = kHex[bytes[i] & 0xF];
    }
    return at;
}

std::size_t put_number(char* out, std::size_t at, double x) noexcept { return at + format_number(x, out + at); }

template <typename Int>
std::size_t put_int(char* out, std::size_t at, Int value) noexcept {
    return static_cast<std::size_t>(std::to_chars(out + at, out + at + 24, value).ptr - out);
}

// The action of a record or refusal line from its axis's value on, as
// parse_action below reads it.
std::size_t put_action(char* out, std::size_t at, std::int32_t axis, double position, double velocity) noexcept {
    at = put_int(out, at, axis);
    at = put(out, at, ", \"position\": ");
    at = put_number(out, at, position);
    at = put(out, at, ", \"velocity\": ");
    return put_number(out, at, velocity);
}

std::string_view shown(std::string_view text) noexcept { return text.substr(0, 40); }

// Cursor: the strict reader of one line. Each step either takes exactly what
// it expects or records the first problem and fails every later step.
class Cursor {
public:
    Cursor(std::string_view line, ParsedLine& out) noexcept : rest_(line), out_(out) {}

    bool failed() const noexcept { return failed_; }

    // `format` is always one of this file's literals; without arguments it
    // is copied as text, so that no '%' in it is ever read as a directive.
    template <typename... Args>
    bool fail(const char* format, Args... args) noexcept {
        if (!failed_) {
            if constexpr (sizeof...(Args) == 0) {
                std::snprintf(out_.problem, sizeof out_.problem, "%s", format);
            } else {
                std::snprintf(out_.problem, sizeof out_.problem, format, args...);
            }
        }
        failed_ = true;
        return false;
    }

    // A literal's length is known here, so its comparison compiles to a few
    // loads instead of a call: the verifier runs this for every line.
    template <std::size_t N>
    bool literal(const char (&text)[N]) noexcept {
        constexpr std::size_t length = N - 1;
        if (failed_) return false;
        if (rest_.size() >= length && std::memcmp(rest_.data(), text, length) == 0) {
            rest_.remove_prefix(length);
            return true;
        }
        return fail("expected '%s' at '%.*s'", text, int(shown(rest_).size()), shown(rest_).data());
    }

    // The text up to (not including) `stop`, or all that is left. Scanned by
    // hand: what it takes is a number or a name, a few bytes long.
    std::string_view until(char stop) noexcept {
        std::size_t end = 0;
        while (end < rest_.size() && rest_[end] != stop) ++end;
        const std::string_view taken = rest_.substr(0, end);
        rest_.remove_prefix(end);
        return taken;
    }

    // Exactly 2 * size lowercase hex digits, then a quote (not taken). Size
    // is a multiple of 4 (the receipt's 60 bytes, a digest's 32).
    bool hex(const char* name, std::uint8_t* bytes, std::size_t size) noexcept {
        if (failed_) return false;
        bool read = rest_.size() > 2 * size && rest_[2 * size] == '"';
        for (std::size_t i = 0; read && i < size; i += 4) read = read_hex8(rest_.data() + 2 * i, bytes + i);
        if (!read) return fail("%s is not %zu lowercase hex digits", name, 2 * size);
        rest_.remove_prefix(2 * size);
        return true;
    }

    // A decimal integer as the writer spells it: no sign but a leading '-',
    // no leading zero, no "-0".
    template <typename Int>
    bool integer(const char* name, Int& value, char stop) noexcept {
        if (failed_) return false;
        const std::string_view text = until(stop);
        const bool negative = text.starts_with('-');
        const std::string_view digits = text.substr(negative ? 1 : 0);
        const auto read = std::from_chars(text.data(), text.data() + text.size(), value);
        if (digits.empty() || (digits[0] == '0' && (digits.size() > 1 || negative)) || read.ec != std::errc{} ||
            read.ptr != text.data() + text.size()) {
            return fail("%s %.*s is not %s", name, int(shown(text).size()), shown(text).data(),
                        sizeof(Int) == 4 ? "a 32-bit integer" : "an unsigned 64-bit integer");
        }
        return true;
    }

    bool number(const char* name, double& x) noexcept {
        if (failed_) return false;
        const std::string_view text = until(',');
        switch (parse_number(text, x)) {
            case NumberText::Exact:
                return true;
            case NumberText::BareNaN:
                out_.bare_nan = true;
                return true;
            case NumberText::Wrong:
                break;
        }
        return fail(
            "%s %.*s is not a double as a log writes one (shortest decimal, \"inf\", \"-inf\", or \"nan:\" "
            "and 16 hex digits of a NaN)",
            name, int(shown(text).size()), shown(text).data());
    }

    // skip takes `count` bytes the caller has matched already.
    void skip(std::size_t count) noexcept { rest_.remove_prefix(count); }

    bool end() noexcept {
        if (failed_) return false;
        if (rest_.empty()) return true;
        return fail("%zu bytes follow the end of the object", rest_.size());
    }

private:
    std::string_view rest_;
    ParsedLine& out_;
    bool failed_ = false;
};

// The action of a record or refusal line, from its axis's value on:
// `3, "position": 0.25, "velocity": 1.5`.
void parse_action(Cursor& in, ParsedLine& out) noexcept {
    in.integer("axis", out.axis, ',');
    in.literal(", \"position\": ");
    in.number("position", out.position);
    in.literal(", \"velocity\": ");
    in.number("velocity", out.velocity);
}

void parse_record(Cursor& in, ParsedLine& out) noexcept {
    in.literal(": ");
    parse_action(in, out);
    in.literal(", \"receipt\": \"");
    in.hex("receipt", out.wire, KESTREL_RECEIPT_WIRE_LEN);
    in.literal("\"}");
    if (in.end()) {
        out.type = LineType::Record;
        out.receipt = out.wire;
    }
}

void parse_refusal(Cursor& in, ParsedLine& out) noexcept {
    in.literal(": \"");
    const std::string_view name = in.until('"');
    out.kind = refusal_kind(name);
    if (out.kind == 0) {
        in.fail("refused \"%.*s\" is not the name of a refusal", int(shown(name).size()), shown(name).data());
    }
    in.literal("\", \"axis\": ");
    parse_action(in, out);
    in.literal(", \"time\": ");
    in.integer("time", out.time_ns, '}');
    in.literal("}");
    if (in.end()) out.type = LineType::Refusal;
}

void parse_trip(Cursor& in, ParsedLine& out) noexcept {
    in.literal(": \"");
    const std::string_view name = in.until('"');
    out.trip.function = trip_function(name);
    if (out.trip.function == KESTREL_TRIP_NONE) {
        in.fail("trip \"%.*s\" is not the name of a safety function", int(shown(name).size()), shown(name).data());
    }
    in.literal("\", \"joint\": ");
    in.integer("joint", out.trip.joint, ',');
    in.literal(", \"value\": ");
    in.number("value", out.trip.value);
    in.literal(", \"limit\": ");
    in.number("limit", out.trip.limit);
    in.literal(", \"time\": ");
    in.integer("time", out.time_ns, '}');
    in.literal("}");
    out.trip.time_ns = out.time_ns;
    if (in.end()) out.type = LineType::Trip;
}

void parse_seal(Cursor& in, ParsedLine& out, SealKind kind) noexcept {
    out.type = LineType::BadSeal;
    out.seal_kind = kind;
    in.literal(": \"");
    in.hex("its tag", out.tag.data(), out.tag.size());
    in.literal("\", \"lines\": ");
    in.integer("lines", out.lines, ',');
    in.literal(", \"sha256\": \"");
    in.hex("sha256", out.sha256.data(), out.sha256.size());
    if (kind == SealKind::Rotation) {
        in.literal("\", \"next_key\": \"");
        in.hex("next_key", out.next_key.data(), out.next_key.size());
    }
    in.literal("\"}");
    if (in.end()) out.type = LineType::Seal;
}

void parse_final(Cursor& in, ParsedLine& out) noexcept { parse_seal(in, out, SealKind::Final); }
void parse_checkpoint(Cursor& in, ParsedLine& out) noexcept { parse_seal(in, out, SealKind::Checkpoint); }
void parse_rotation(Cursor& in, ParsedLine& out) noexcept { parse_seal(in, out, SealKind::Rotation); }

// The kinds of line, each known by its first key, which its parser reads on
// from. A new kind is a row here and a parser.
struct LineKind {
    std::string_view opening;
    void (*parse)(Cursor& in, ParsedLine& out) noexcept;
};
constexpr LineKind kLineKinds[] = {
    {"{\"axis\"", parse_record}, {"{\"refused\"", parse_refusal},       {"{\"trip\"", parse_trip},
    {"{\"seal\"", parse_final},  {"{\"checkpoint\"", parse_checkpoint}, {"{\"rotation\"", parse_rotation},
};

}  // namespace

// Eight digits at a time as the bytes of one 64-bit word: adding 0x80 - b to a
// byte below 0x80 sets its top bit iff the byte is at least b, and carries
// nothing into the next byte.
bool read_hex8(const char* text, std::uint8_t out[4]) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101;
    constexpr std::uint64_t kTop = kOnes * 0x80;
    const std::uint64_t c = byte_order::load_le64(reinterpret_cast<const std::uint8_t*>(text));
    const auto at_least = [c](std::uint64_t b) { return (c + kOnes * (0x80 - b)) & kTop; };
    const std::uint64_t digit = at_least('0') & ~at_least('9' + 1);
    const std::uint64_t letter = at_least('a') & ~at_least('f' + 1);
    if ((c & kTop) != 0 || (digit | letter) != kTop) return false;
    // Each byte's value: its low four bits, and 9 more for a letter.
    const std::uint64_t nibbles = (c & kOnes * 0x0f) + (letter >> 7) * 9;
    // Byte 2i of `pairs` is digit 2i (high half) and digit 2i + 1 (low);
    // the odd bytes are squeezed out.
    std::uint64_t pairs = (nibbles << 4 | nibbles >> 8) & 0x00ff00ff00ff00ff;
    pairs = (pairs | pairs >> 8) & 0x0000ffff0000ffff;
    byte_order::store_le32(out, static_cast<std::uint32_t>(pairs | pairs >> 16));
    return true;
}

KestrelSafetyFunction trip_function(std::string_view name) noexcept {
    for (KestrelSafetyFunction f = KESTREL_TRIP_NONE + 1; kestrel_safety_function_name(f) != nullptr; ++f) {
        if (name == kestrel_safety_function_name(f)) return f;
    }
    return KESTREL_TRIP_NONE;
}

KestrelError refusal_kind(std::string_view name) noexcept {
    for (KestrelError kind = 1; kind <= kLastKind; ++kind) {
        const std::string_view known = error_text(kind).name;
        if (known == name && known != error_text(-1).name) return kind;
    }
    return 0;
}

void parse_line(std::string_view line, ParsedLine& out) noexcept {
    out.type = LineType::Malformed;
    out.bare_nan = false;
    out.receipt = nullptr;
    out.problem[0] = '\0';
    Cursor in(line, out);
    if (line.size() > MAX_LINE) {
        in.fail("longer than %zu bytes", MAX_LINE);
        return;
    }
    for (const LineKind& kind : kLineKinds) {
        if (line.starts_with(kind.opening)) {
            in.skip(kind.opening.size());
            kind.parse(in, out);
            return;
        }
    }
    in.fail(
        "not a record, refusal, trip or seal line (they begin {\"axis\", {\"refused\", {\"trip\", {\"checkpoint\", "
        "{\"rotation\" or {\"seal\")");
}

std::size_t format_record(std::int32_t axis, double position, double velocity,
                          const std::uint8_t receipt[KESTREL_RECEIPT_WIRE_LEN], char* out) noexcept {
    std::size_t at = put(out, 0, "{\"axis\": ");
    at = put_action(out, at, axis, position, velocity);
    at = put(out, at, ", \"receipt\": \"");
    at = put_hex(out, at, receipt, KESTREL_RECEIPT_WIRE_LEN);
    return put(out, at, "\"}\n");
}

std::size_t format_refusal(KestrelError kind, std::int32_t axis, double position, double velocity,
                           std::uint64_t time_ns, char* out) noexcept {
    std::size_t at = put(out, 0, "{\"refused\": \"");
    at = put(out, at, error_text(kind).name.substr(0, 64));
    at = put(out, at, "\", \"axis\": ");
    at = put_action(out, at, axis, position, velocity);
    at = put(out, at, ", \"time\": ");
    at = put_int(out, at, time_ns);
    return put(out, at, "}\n");
}

std::size_t format_trip(const KestrelTrip& trip, char* out) noexcept {
    std::size_t at = put(out, 0, "{\"trip\": \"");
    at = put(out, at, kestrel_safety_function_name(trip.function));
    at = put(out, at, "\", \"joint\": ");
    at = put_int(out, at, trip.joint);
    at = put(out, at, ", \"value\": ");
    at = put_number(out, at, trip.value);
    at = put(out, at, ", \"limit\": ");
    at = put_number(out, at, trip.limit);
    at = put(out, at, ", \"time\": ");
    at = put_int(out, at, trip.time_ns);
    return put(out, at, "}\n");
}

std::size_t format_seal(SealKind kind, const Digest& tag, std::uint64_t lines, const Digest& sha256,
                        const Fingerprint& next_key, char* out) noexcept {
    const std::string_view opening = kind == SealKind::Final        ? "{\"seal\": \""
                                     : kind == SealKind::Checkpoint ? "{\"checkpoint\": \""
                                                                    : "{\"rotation\": \"";
    std::size_t at = put(out, 0, opening);
    at = put_hex(out, at, tag.data(), tag.size());
    at = put(out, at, "\", \"lines\": ");
    at = put_int(out, at, lines);
    at = put(out, at, ", \"sha256\": \"");
    at = put_hex(out, at, sha256.data(), sha256.size());
    if (kind == SealKind::Rotation) {
        at = put(out, at, "\", \"next_key\": \"");
        at = put_hex(out, at, next_key.data(), next_key.size());
    }
    return put(out, at, "\"}\n");
}

}  // namespace kestrel::audit
