// action_id: the action id and the payload a boundary signs for a command to
// one axis.
//
// The id is the text "axis_" followed by the axis in decimal ("axis_3",
// "axis_-1"); the payload is the requested position, then the commanded
// velocity, as little-endian IEEE-754 doubles. Whoever forms or checks an axis
// action calls axis_action_id and axis_payload, so the receipt of one side
// always verifies on the other.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "receipts/hmac.hpp"

namespace kestrel {

// Longest axis action id: "axis_-2147483648".
inline constexpr std::size_t AXIS_ACTION_ID_MAX_LEN = 16;
static_assert(AXIS_ACTION_ID_MAX_LEN <= MAX_ACTION_ID_LEN, "every axis action id can be signed");

// AxisActionId: one axis action id, held inline (no allocation).
struct AxisActionId {
    std::array<char, AXIS_ACTION_ID_MAX_LEN> text{};  // the id's bytes, then unused room
    std::size_t size = 0;                             // bytes of text in use, 6..16

    [[nodiscard]] std::string_view view() const noexcept { return {text.data(), size}; }
    [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept {
        return {reinterpret_cast<const std::uint8_t*>(text.data()), size};
    }
};

// axis_action_id returns "axis_" followed by `axis` in decimal.
[[nodiscard]] AxisActionId axis_action_id(std::int32_t axis) noexcept;

// axis_payload returns `position` then `velocity`, bit for bit, little-endian.
[[nodiscard]] Payload axis_payload(double position, double velocity) noexcept;

}  // namespace kestrel
