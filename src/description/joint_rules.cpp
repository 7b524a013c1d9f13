#include "description/joint_rules.hpp"

#include <cmath>
#include <unordered_map>
#include <unordered_set>

#include "description/description_failure.hpp"
#include "kestrel_description.h"

namespace kestrel::description {

namespace {

// A value and where it came from, for the result and for messages.
struct Value {
    double value;
    std::uint32_t source = KESTREL_SOURCE_NONE;
    const std::string* file = nullptr;
    std::uint32_t line = 0;
    const char* key = "";

    std::string where() const { return source == KESTREL_SOURCE_NONE ? "no limit" : place(*file, line) + " " + key; }
};

template <class Joint>
std::unordered_map<std::string_view, const Joint*> by_name(const ParsedFile<Joint>* file) {
    std::unordered_map<std::string_view, const Joint*> out;
    if (file != nullptr) {
        for (const Joint& joint : file->joints) out.emplace(joint.name, &joint);
    }
    return out;
}

std::optional<Value> from(const std::optional<Number>& number, std::uint32_t source, const std::string& file,
                          const char* key) {
    if (!number) return std::nullopt;
    return Value{number->value, source, &file, number->line, key};
}

// The rules for one joint. The YAML's word is taken first and the values
// that win are judged after: a URDF value that is not a limit (a velocity of
// -1, a missing lower) is an error only when nothing replaces it, and a YAML
// value may narrow a URDF limit but widen or remove one only when the caller
// allows it.
class JointRules {
public:
    JointRules(std::string_view joint, const ParsedFile<UrdfJoint>* urdf, const ParsedFile<YamlJoint>* yaml,
               const Selection& selection)
        : joint_(joint), urdf_(urdf), yaml_(yaml), selection_(selection) {}

    std::array<Value, KESTREL_JOINT_LIMITS_FIELDS> fields{Value{-INFINITY}, Value{INFINITY}, Value{INFINITY},
                                                          Value{INFINITY}, Value{INFINITY}};
    std::uint32_t widened = 0;

    void apply(const UrdfJoint* u, const YamlJoint* y) {
        const bool bounded = u != nullptr && u->type != "continuous";  // a URDF joint with a position range
        if (y != nullptr && y->angle_wraparound && y->angle_wraparound->value && u != nullptr &&
            u->type != "continuous") {
            fail(KESTREL_ERROR_DESCRIPTION_VALUE, joint_place(yaml_->name, y->angle_wraparound->line, joint_) +
                                                      "angle_wraparound is true, but it is a " + u->type +
                                                      " joint (only a continuous joint's position wraps around)");
        }
        // Position, each side: the URDF's hard limit, its soft limit, the YAML's.
        const std::optional<Flag> no_position =
            y != nullptr && y->has_position && !y->has_position->value ? y->has_position : std::nullopt;
        const std::optional<Value> hard[2] = {
            bounded ? from(u->lower, KESTREL_SOURCE_URDF, urdf_->name, "lower") : std::nullopt,
            bounded ? from(u->upper, KESTREL_SOURCE_URDF, urdf_->name, "upper") : std::nullopt};
        const bool soft_on = bounded && selection_.soft_limits;
        const std::optional<Value> soft[2] = {
            soft_on ? from(u->soft_lower, KESTREL_SOURCE_SOFT_LIMIT, urdf_->name, "soft_lower_limit") : std::nullopt,
            soft_on ? from(u->soft_upper, KESTREL_SOURCE_SOFT_LIMIT, urdf_->name, "soft_upper_limit") : std::nullopt};
        // A hard limit holds unless it is one end of a range that is empty.
        const bool empty_range = hard[0] && hard[1] && !(hard[0]->value < hard[1]->value);
        for (const int side : {KESTREL_FIELD_MIN_POSITION, KESTREL_FIELD_MAX_POSITION}) {
            std::optional<Value> listed;
            if (no_position) {
                listed = Value{side == KESTREL_FIELD_MIN_POSITION ? -INFINITY : INFINITY, KESTREL_SOURCE_YAML,
                               &yaml_->name, no_position->line, "has_position_limits"};
            } else if (y != nullptr) {
                listed = side == KESTREL_FIELD_MIN_POSITION
                             ? from(y->min_position, KESTREL_SOURCE_YAML, yaml_->name, "min_position")
                             : from(y->max_position, KESTREL_SOURCE_YAML, yaml_->name, "max_position");
            }
            if (bounded && !hard[side] && !listed) missing_position(*u, side);
            const std::optional<Value>& stated = hard[side] ? hard[side] : soft[side];
            resolve(side, stated, hard[side] && !empty_range, listed);
            if (!(widened & (1u << side)) && soft[side] && narrower(side, soft[side]->value, fields[side].value)) {
                fields[side] = *soft[side];
            }
        }
        // Velocity: the URDF's, unless the YAML gives one.
        const std::optional<Value> velocity =
            u != nullptr ? from(u->velocity, KESTREL_SOURCE_URDF, urdf_->name, "velocity") : std::nullopt;
        std::optional<Value> listed;
        if (y != nullptr && y->has_velocity && !y->has_velocity->value) {
            listed = Value{INFINITY, KESTREL_SOURCE_YAML, &yaml_->name, y->has_velocity->line, "has_velocity_limits"};
        } else if (y != nullptr && y->max_velocity) {
            listed = from(y->max_velocity, KESTREL_SOURCE_YAML, yaml_->name, "max_velocity");
            positive(*listed);
        }
        resolve(KESTREL_FIELD_MAX_VELOCITY, velocity, velocity && velocity->value > 0.0, listed);
        if (!listed && velocity) positive(*velocity, "max_velocity");
        if (y != nullptr) apply_rates(*y);
        check_range();
    }

private:
    static bool narrower(int field, double a, double b) { return field == KESTREL_FIELD_MIN_POSITION ? a > b : a < b; }

    // The value of `field`: the YAML's where it gives one, else the URDF's.
    // A YAML value wider than a URDF limit that holds (`holds`), or one that
    // removes a URDF value, is refused unless the caller allows widening.
    void resolve(int field, const std::optional<Value>& urdf, bool holds, const std::optional<Value>& listed) {
        if (!listed) {
            if (urdf) fields[field] = *urdf;
            return;
        }
        const bool removes = std::isinf(listed->value);
        if (urdf && (removes || (holds && narrower(field, urdf->value, listed->value)))) {
            if (!selection_.allow_widening) {
                const std::string what = removes
                                             ? std::string(listed->key) + ": false removes"
                                             : std::string(listed->key) + " " + number_text(listed->value) + " widens";
                fail(KESTREL_ERROR_DESCRIPTION_VALUE,
                     joint_place(*listed->file, listed->line, joint_) + what + " the URDF's " + urdf->key + " " +
                         number_text(urdf->value) + " (" + place(*urdf->file, urdf->line) +
                         "); a limits file may only narrow a URDF limit (allow widening to load it anyway)");
            }
            widened |= 1u << field;
        }
        fields[field] = *listed;
    }

    // A revolute or prismatic joint needs both position limits; the URDF
    // format would read a missing one as 0.
    [[noreturn]] void missing_position(const UrdfJoint& u, int side) const {
        const bool low = side == KESTREL_FIELD_MIN_POSITION;
        const std::string what =
            u.limit_line == 0 ? "has no <limit>" : std::string("has no <limit> ") + (low ? "lower" : "upper");
        fail(KESTREL_ERROR_DESCRIPTION_VALUE,
             joint_place(urdf_->name, u.limit_line == 0 ? u.line : u.limit_line, joint_) + "a " + u.type + " joint " +
                 what + "; give it, or " + (low ? "min_position" : "max_position") +
                 " (or has_position_limits: "
                 "false) for this joint in " +
                 yaml_name());
    }

    std::string yaml_name() const { return yaml_ != nullptr ? yaml_->name : "a joint_limits.yaml"; }

    // A YAML rate limit: a number unless its has_*_limits is false (then an
    // explicit absence), which must be there when has_*_limits is true.
    std::optional<Value> rate(const std::optional<Flag>& has, const std::optional<Number>& number, const char* has_key,
                              const char* key) const {
        if (has && !has->value) return Value{INFINITY, KESTREL_SOURCE_YAML, &yaml_->name, has->line, has_key};
        if (!number) {
            if (has) {
                fail(KESTREL_ERROR_DESCRIPTION_VALUE,
                     joint_place(yaml_->name, has->line, joint_) + has_key + " is true but " + key + " is missing");
            }
            return std::nullopt;
        }
        const Value value{number->value, KESTREL_SOURCE_YAML, &yaml_->name, number->line, key};
        positive(value);
        return value;
    }

    void apply_rates(const YamlJoint& y) {
        // The limiter's acceleration limit is symmetric: the smaller of the
        // acceleration and the deceleration limit holds both ways.
        auto& acceleration = fields[KESTREL_FIELD_MAX_ACCELERATION];
        if (auto value = rate(y.has_acceleration, y.max_acceleration, "has_acceleration_limits", "max_acceleration")) {
            acceleration = *value;
        }
        if (auto value = rate(y.has_deceleration, y.max_deceleration, "has_deceleration_limits", "max_deceleration");
            value && value->value < acceleration.value) {
            acceleration = *value;
        }
        if (auto value = rate(y.has_jerk, y.max_jerk, "has_jerk_limits", "max_jerk")) {
            fields[KESTREL_FIELD_MAX_JERK] = *value;
        }
    }

    // A rate limit must be > 0; `replacement` names the YAML key that could
    // stand in for a URDF value that is not.
    void positive(const Value& value, const char* replacement = nullptr) const {
        if (!(value.value > 0.0)) {
            fail(KESTREL_ERROR_DESCRIPTION_VALUE,
                 joint_place(*value.file, value.line, joint_) + value.key + ": " + number_text(value.value) +
                     " is not > 0" +
                     (replacement ? std::string("; give ") + replacement + " for this joint in " + yaml_name() : ""));
        }
    }

    void check_range() const {
        const Value& low = fields[KESTREL_FIELD_MIN_POSITION];
        const Value& high = fields[KESTREL_FIELD_MAX_POSITION];
        if (!(low.value < high.value)) {
            const Value& last = low.line >= high.line && low.file == high.file ? low : high;
            const bool from_urdf = low.source != KESTREL_SOURCE_YAML || high.source != KESTREL_SOURCE_YAML;
            fail(KESTREL_ERROR_DESCRIPTION_VALUE,
                 joint_place(*last.file, last.line, joint_) + "the lower position limit " + number_text(low.value) +
                     " (" + low.where() + ") is not below the upper " + number_text(high.value) + " (" + high.where() +
                     ")" + (from_urdf ? "; give min_position and max_position for this joint in " + yaml_name() : ""));
        }
    }

    std::string_view joint_;
    const ParsedFile<UrdfJoint>* urdf_;
    const ParsedFile<YamlJoint>* yaml_;
    const Selection& selection_;
};

std::vector<std::string> default_joints(const ParsedFile<UrdfJoint>* urdf, const ParsedFile<YamlJoint>* yaml) {
    std::vector<std::string> names;
    if (urdf != nullptr) {
        for (const UrdfJoint& joint : urdf->joints) {
            if (joint.movable() && joint.mimics.empty()) names.push_back(joint.name);
        }
        if (names.empty()) fail(KESTREL_ERROR_DESCRIPTION_JOINT, urdf->name + ": no movable joint");
    } else {
        for (const YamlJoint& joint : yaml->joints) names.push_back(joint.name);
        if (names.empty()) fail(KESTREL_ERROR_DESCRIPTION_JOINT, yaml->name + ": joint_limits names no joint");
    }
    return names;
}

}  // namespace

Description combine(const ParsedFile<UrdfJoint>* urdf, const ParsedFile<YamlJoint>* yaml, const Selection& selection) {
    const auto urdf_joints = by_name(urdf);
    const auto yaml_joints = by_name(yaml);
    const std::vector<std::string> names = selection.joints ? *selection.joints : default_joints(urdf, yaml);
    if (names.empty()) fail(KESTREL_ERROR_DESCRIPTION_JOINT, "no joint named to load");
    // What is reported rather than refused, in this order: the YAML file's,
    // its joints the URDF lacks (judged only when no joints are named), then
    // those of the joints loaded. A strict load refuses the first.
    std::vector<Warning> warnings;
    if (yaml != nullptr) {
        warnings = yaml->warnings;
        for (const YamlJoint& joint : yaml->joints) {
            if (urdf != nullptr && !selection.joints && !urdf_joints.contains(joint.name)) {
                warnings.push_back({KESTREL_ERROR_DESCRIPTION_JOINT,
                                    joint_place(yaml->name, joint.line, joint.name) + "not in " + urdf->name,
                                    "skipped"});
            }
        }
        for (const std::string& name : names) {
            const auto y = yaml_joints.find(name);
            if (y != yaml_joints.end())
                warnings.insert(warnings.end(), y->second->warnings.begin(), y->second->warnings.end());
        }
    }
    if (selection.strict && !warnings.empty()) fail(warnings.front().code, warnings.front().message);
    Description out;
    for (const Warning& warning : warnings) out.warnings.push_back(warning.message + "; " + warning.effect);
    std::unordered_set<std::string_view> named;
    for (const std::string& name : names) {
        if (!named.insert(name).second) fail(KESTREL_ERROR_DESCRIPTION_JOINT, "joint " + quoted(name) + " named twice");
        const auto u = urdf_joints.find(name);
        const auto y = yaml_joints.find(name);
        const ParsedFile<YamlJoint>* only = urdf == nullptr ? yaml : nullptr;
        if ((urdf != nullptr && u == urdf_joints.end()) || (only != nullptr && y == yaml_joints.end())) {
            fail(KESTREL_ERROR_DESCRIPTION_JOINT,
                 "joint " + quoted(name) + " is not in " + (urdf != nullptr ? urdf->name : yaml->name));
        }
        DescribedJoint joint{name, {}, {}, {}, {}, 0};
        const UrdfJoint* source = urdf != nullptr ? u->second : nullptr;
        if (source != nullptr) {
            if (!source->movable()) {
                fail(KESTREL_ERROR_DESCRIPTION_JOINT, joint_place(urdf->name, source->line, name) + "a " +
                                                          source->type + " joint has no limits to load");
            }
            joint.type = source->type;
            joint.mimics = source->mimics;
            if (source->effort) joint.effort = source->effort->value;
        }
        JointRules rules(name, urdf, yaml, selection);
        rules.apply(source, y != yaml_joints.end() ? y->second : nullptr);
        double* fields[] = {&joint.limits.min_position, &joint.limits.max_position, &joint.limits.max_velocity,
                            &joint.limits.max_acceleration, &joint.limits.max_jerk};
        for (int i = 0; i < KESTREL_JOINT_LIMITS_FIELDS; ++i) {
            *fields[i] = rules.fields[i].value;
            joint.sources[i] = rules.fields[i].source;
        }
        joint.widened = rules.widened;
        out.joints.push_back(std::move(joint));
    }
    return out;
}

Description describe(const std::string& urdf_path, const std::string& yaml_path, const Selection& selection) {
    std::optional<ParsedFile<UrdfJoint>> urdf;
    std::optional<ParsedFile<YamlJoint>> yaml;
    if (!urdf_path.empty()) {
        urdf = ParsedFile<UrdfJoint>{urdf_path, parse_urdf(urdf_path, read_description_file(urdf_path)), {}};
    }
    if (!yaml_path.empty()) {
        yaml.emplace();
        yaml->name = yaml_path;
        yaml->joints = parse_yaml(yaml_path, read_description_file(yaml_path), yaml->warnings);
    }
    return combine(urdf ? &*urdf : nullptr, yaml ? &*yaml : nullptr, selection);
}

}  // namespace kestrel::description
