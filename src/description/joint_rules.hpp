// What wins over what: the one place where a URDF's joints and a YAML file's
// joints become one KestrelJointLimits per joint, with the source of every
// value. The rules are those of kestrel_description.h.
#pragma once

#include <array>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "description/urdf_reader.hpp"
#include "description/yaml_reader.hpp"
#include "kestrel_joint_limiter.h"

namespace kestrel::description {

struct DescribedJoint {
    std::string name;
    std::string type;    // empty with only a YAML file
    std::string mimics;  // empty unless a mimic joint
    KestrelJointLimits limits;
    std::array<std::uint32_t, KESTREL_JOINT_LIMITS_FIELDS> sources;  // KESTREL_SOURCE_*, by KESTREL_FIELD_*
    std::uint32_t widened = 0;  // bit 1 << KESTREL_FIELD_*: a YAML value wider than the URDF's
    double effort = INFINITY;   // the URDF's <limit> effort (N m or N), as given; infinite without one
};

// One parsed file, the name it goes by in messages and what it warns of.
template <class Joint>
struct ParsedFile {
    std::string name;
    std::vector<Joint> joints;
    std::vector<Warning> warnings;
};

struct Selection {
    std::optional<std::vector<std::string>> joints;  // nullopt: the default joints
    bool soft_limits = true;
    bool strict = false;          // every warning is an error
    bool allow_widening = false;  // a YAML value may widen or remove a URDF limit
};

struct Description {
    std::vector<DescribedJoint> joints;
    std::vector<std::string> warnings;  // each "file:line: ...; what the reader did"
};

// combine applies the rules to parsed files (at least one given) and checks
// the result; it fails with a DescriptionFailure.
Description combine(const ParsedFile<UrdfJoint>* urdf, const ParsedFile<YamlJoint>* yaml, const Selection& selection);

// describe reads the files (either path may be empty, not both) and combines them.
Description describe(const std::string& urdf_path, const std::string& yaml_path, const Selection& selection);

}  // namespace kestrel::description
