// The joints of a joint_limits.yaml: the map `joint_limits` at the top of the
// file or one level below it, each joint's has_*_limits flags and max_*/min_*
// numbers with their lines. What wins over what is not decided here
// (joint_rules.hpp).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "description/description_failure.hpp"
#include "description/description_text.hpp"

namespace kestrel::description {

struct Flag {
    bool value;
    std::uint32_t line;
};

struct YamlJoint {
    std::string name;
    std::uint32_t line;
    std::optional<Flag> has_position, has_velocity, has_acceleration, has_deceleration, has_jerk;
    std::optional<Number> min_position, max_position, max_velocity, max_acceleration, max_deceleration, max_jerk;
    std::optional<Flag> angle_wraparound;  // a continuous joint's position wraps around
    std::vector<Warning> warnings;         // unknown keys whose value is false
};

// parse_yaml reads the joints of a YAML text in file order. A text over
// KESTREL_DESCRIPTION_MAX_YAML_SIZE is refused first; the rest is fed to
// the parser as a stream of events and refused as soon as it nests deeper than
// KESTREL_DESCRIPTION_MAX_DEPTH, holds more than
// KESTREL_DESCRIPTION_MAX_YAML_NODES nodes (an alias counts as one) or uses
// an alias to a map or a sequence, so no collection is ever expanded. A map
// beside the joint_limits it reads, at its level or at the top, is named in
// `warnings`. `file` names the file in messages.
std::vector<YamlJoint> parse_yaml(std::string_view file, std::string_view text, std::vector<Warning>& warnings);

}  // namespace kestrel::description
