#include "receipts/action_id.hpp"

#include <bit>
#include <charconv>
#include <cstring>

namespace kestrel {

AxisActionId axis_action_id(std::int32_t axis) noexcept {
    static constexpr std::string_view kPrefix = "axis_";
    AxisActionId id;
    std::memcpy(id.text.data(), kPrefix.data(), kPrefix.size());
    char* const first = id.text.data() + kPrefix.size();
    // Cannot fail: the longest, "axis_-2147483648", fills the array exactly.
    const std::to_chars_result end = std::to_chars(first, id.text.data() + id.text.size(), axis);
    id.size = static_cast<std::size_t>(end.ptr - id.text.data());
    return id;
}

Payload axis_payload(double position, double velocity) noexcept {
    static_assert(std::endian::native == std::endian::little, "the payload's doubles are little-endian");
    Payload payload;
    std::memcpy(payload.data(), &position, sizeof position);
    std::memcpy(payload.data() + sizeof position, &velocity, sizeof velocity);
    return payload;
}

}  // namespace kestrel
