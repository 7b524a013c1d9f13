// Fuzz target for the robot description reader (kestrel_description.h).
//
// The input is one byte of mode and the text of the files:
//   bits 0-1  0: a URDF; 1: a YAML file; 2 or 3: a URDF and a YAML file, the
//             text split at the first form feed (URDF before it)
//   bit 2     soft limits off
//   bit 3     load the joints named in the URDF and the YAML, last first
//             (duplicates and fixed joints included), instead of the default
//   bit 4     strict: every warning is an error
//   bit 5     a YAML value may widen a URDF limit
// Every input ends in joints or in a DescriptionFailure with a code of the
// reader's own and a message; no other exception may leave the reader. Loaded
// joints have limits the limiter's rules accept: no NaN, min_position below
// max_position, rates > 0; a value is infinite exactly where its source says
// no limit was given or the YAML removed it, and finite where a file gave it.
// Nothing is widened unless allowed, and what is not widened lies within the
// URDF's <limit> where that is a limit (each side given, unless lower is not
// below upper; velocity > 0). A
// strict load has no warnings; every warning is UTF-8 text.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <unordered_set>

#include "description/description_failure.hpp"
#include "description/description_text.hpp"
#include "description/joint_rules.hpp"
#include "kestrel_description.h"

namespace {

using namespace kestrel::description;

[[noreturn]] void broken(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz_description: %s: %s\n", what, detail.c_str());
    std::abort();
}

void check_result(const Description& result, const ParsedFile<UrdfJoint>* urdf, const Selection& selection) {
    const std::vector<DescribedJoint>& joints = result.joints;
    if (joints.empty()) broken("no joint and no error", "");
    if (selection.strict && !result.warnings.empty()) broken("a warning in a strict load", result.warnings[0]);
    for (const std::string& warning : result.warnings) {
        if (warning.empty() || !is_utf8(warning)) broken("a warning that is not UTF-8 text", warning);
    }
    std::unordered_set<std::string> names;
    for (const DescribedJoint& joint : joints) {
        if (!is_utf8(joint.name)) broken("a name that is not UTF-8 text", joint.name);
        if (joint.widened != 0 && !selection.allow_widening) broken("a value widened unasked", joint.name);
        const UrdfJoint* stated = nullptr;
        for (std::size_t i = 0; urdf != nullptr && i < urdf->joints.size(); ++i) {
            if (urdf->joints[i].name == joint.name) stated = &urdf->joints[i];
        }
        // A side of <limit> holds unless the range it ends is empty.
        const bool bounded = stated != nullptr && stated->type != "continuous" &&
                             !(stated->lower && stated->upper && !(stated->lower->value < stated->upper->value));
        if (bounded && ((stated->lower && !(joint.widened & (1u << KESTREL_FIELD_MIN_POSITION)) &&
                         joint.limits.min_position < stated->lower->value) ||
                        (stated->upper && !(joint.widened & (1u << KESTREL_FIELD_MAX_POSITION)) &&
                         joint.limits.max_position > stated->upper->value))) {
            broken("a position wider than the URDF's", joint.name);
        }
        if (stated != nullptr && stated->velocity && stated->velocity->value > 0.0 &&
            !(joint.widened & (1u << KESTREL_FIELD_MAX_VELOCITY)) &&
            joint.limits.max_velocity > stated->velocity->value) {
            broken("a velocity above the URDF's", joint.name);
        }
        const KestrelJointLimits& l = joint.limits;
        const double values[] = {l.min_position, l.max_position, l.max_velocity, l.max_acceleration, l.max_jerk};
        if (!names.insert(joint.name).second) broken("a joint twice", joint.name);
        if (!(l.min_position < l.max_position)) broken("an empty position range", joint.name);
        for (int i = 0; i < 5; ++i) {
            if (std::isnan(values[i]) || (i >= 2 && !(values[i] > 0.0))) broken("a bad limit", joint.name);
            if (joint.sources[i] > KESTREL_SOURCE_YAML) broken("an unknown source", joint.name);
            if (joint.sources[i] == KESTREL_SOURCE_NONE && std::isfinite(values[i])) {
                broken("a finite value from no source", joint.name);
            }
            if ((joint.sources[i] == KESTREL_SOURCE_URDF || joint.sources[i] == KESTREL_SOURCE_SOFT_LIMIT) &&
                !std::isfinite(values[i])) {
                broken("an infinite value from the URDF", joint.name);
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t mode = data[0];
    std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string_view urdf_text, yaml_text;
    const bool has_urdf = (mode & 3) != 1, has_yaml = (mode & 3) != 0;
    if (has_urdf && has_yaml) {
        const std::size_t cut = std::min(text.find('\f'), text.size());
        urdf_text = text.substr(0, cut);
        yaml_text = text.substr(std::min(cut + 1, text.size()));
    } else {
        (has_urdf ? urdf_text : yaml_text) = text;
    }
    try {
        std::optional<ParsedFile<UrdfJoint>> urdf;
        std::optional<ParsedFile<YamlJoint>> yaml;
        if (has_urdf) urdf = ParsedFile<UrdfJoint>{"robot.urdf", parse_urdf("robot.urdf", urdf_text), {}};
        if (has_yaml) {
            yaml.emplace();
            yaml->name = "limits.yaml";
            yaml->joints = parse_yaml("limits.yaml", yaml_text, yaml->warnings);
        }
        Selection selection;
        selection.soft_limits = (mode & 4) == 0;
        selection.strict = (mode & 16) != 0;
        selection.allow_widening = (mode & 32) != 0;
        if (mode & 8) {
            selection.joints.emplace();
            std::vector<std::string>& names = *selection.joints;
            if (yaml) {
                for (const YamlJoint& joint : yaml->joints) names.insert(names.begin(), joint.name);
            }
            if (urdf) {
                for (const UrdfJoint& joint : urdf->joints) names.insert(names.begin(), joint.name);
            }
        }
        check_result(combine(urdf ? &*urdf : nullptr, yaml ? &*yaml : nullptr, selection), urdf ? &*urdf : nullptr,
                     selection);
    } catch (const DescriptionFailure& failure) {
        if (failure.code < KESTREL_ERROR_DESCRIPTION_TOO_LARGE || failure.code > KESTREL_ERROR_DESCRIPTION_VALUE ||
            failure.message.empty() || (failure.os_error == 0 && !is_utf8(failure.message))) {
            broken("a failure without its code, or a message that is not UTF-8 text", failure.message);
        }
    }
    return 0;
}
