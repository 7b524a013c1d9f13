// The joints of a URDF: name, type, mimic leader and the numbers of <limit> and
// <safety_controller>, each with its line. What wins over what is not decided
// here (joint_rules.hpp).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "description/description_text.hpp"

namespace kestrel::description {

struct UrdfJoint {
    std::string name;
    std::string type;    // revolute, continuous, prismatic, fixed, floating or planar
    std::string mimics;  // the leader of a mimic joint, or empty
    std::uint32_t line;
    std::uint32_t limit_line = 0;  // of its <limit>, 0 without one
    std::optional<Number> lower, upper, velocity, soft_lower, soft_upper;
    std::optional<Number> effort;  // of <limit>: passed on, not a limit the reader keeps or judges

    bool movable() const { return type == "revolute" || type == "continuous" || type == "prismatic"; }
};

// parse_urdf reads the joints of a URDF's text, in file order. An attribute
// the format does not give <joint>, <limit>, <safety_controller> or <mimic>
// is refused unless it has a namespace prefix; other child elements are
// ignored. Text that nests deeper than KESTREL_DESCRIPTION_MAX_DEPTH or
// declares a document type is refused before the XML parser sees it, text
// that does not start as XML is named as not a URDF. `file` names the file in
// messages.
std::vector<UrdfJoint> parse_urdf(std::string_view file, std::string_view text);

}  // namespace kestrel::description
