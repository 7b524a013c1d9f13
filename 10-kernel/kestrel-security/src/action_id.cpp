#include "kestrel/action_id.hpp"

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

}  // namespace kestrel
