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

class JointBuilder {
public:
    JointBuilder(std::string_view joint) : joint_(joint) {}

    std::array<Value, KESTREL_JOINT_LIMITS_FIELDS> fields{Value{-INFINITY}, Value{INFINITY}, Value{INFINITY},
                                                          Value{INFINITY}, Value{INFINITY}};

    void set(int field, const std::optional<Number>& number, std::uint32_t source, const std::string& file,
             const char* key) {
        if (number) fields[field] = Value{number->value, source, &file, number->line, key};
    }

    // A YAML has_*_limits: false: the field holds no limit, on the file's word.
    void remove(int field, double none, const Flag& flag, const std::string& file, const char* key) {
        fields[field] = Value{none, KESTREL_SOURCE_YAML, &file, flag.line, key};
    }

    // A YAML rate limit: a number unless its has_*_limits is false (then an
    // explicit absence), which must be there when has_*_limits is true.
    std::optional<Value> rate(const std::optional<Flag>& has, const std::optional<Number>& number,
                              const std::string& file, const char* has_key, const char* key) const {
        if (has && !has->value) return Value{INFINITY, KESTREL_SOURCE_YAML, &file, has->line, has_key};
        if (!number) {
            if (has) {
                fail(KESTREL_ERROR_DESCRIPTION_VALUE,
                     joint_place(file, has->line, joint_) + has_key + " is true but " + key + " is missing");
            }
            return std::nullopt;
        }
        const Value value{number->value, KESTREL_SOURCE_YAML, &file, number->line, key};
        positive(value);
        return value;
    }

    void positive(const Value& value) const {
        if (!(value.value > 0.0)) {
            fail(KESTREL_ERROR_DESCRIPTION_VALUE, joint_place(*value.file, value.line, joint_) + value.key + ": " +
                                                      number_text(value.value) + " is not > 0");
        }
    }

    void check_range() const {
        const Value& low = fields[KESTREL_FIELD_MIN_POSITION];
        const Value& high = fields[KESTREL_FIELD_MAX_POSITION];
        if (!(low.value < high.value)) {
            const Value& last = low.line >= high.line && low.file == high.file ? low : high;
            fail(KESTREL_ERROR_DESCRIPTION_VALUE, joint_place(*last.file, last.line, joint_) +
                                                      "the lower position limit " + number_text(low.value) + " (" +
                                                      low.where() + ") is not below the upper " +
                                                      number_text(high.value) + " (" + high.where() + ")");
        }
    }

private:
    std::string_view joint_;
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

void apply_urdf(JointBuilder& builder, const UrdfJoint& joint, const std::string& file, bool soft_limits) {
    if (joint.type != "continuous") {
        builder.set(KESTREL_FIELD_MIN_POSITION, joint.lower, KESTREL_SOURCE_URDF, file, "lower");
        builder.set(KESTREL_FIELD_MAX_POSITION, joint.upper, KESTREL_SOURCE_URDF, file, "upper");
        if (soft_limits && joint.soft_lower && joint.soft_lower->value > builder.fields[0].value) {
            builder.set(KESTREL_FIELD_MIN_POSITION, joint.soft_lower, KESTREL_SOURCE_SOFT_LIMIT, file,
                        "soft_lower_limit");
        }
        if (soft_limits && joint.soft_upper && joint.soft_upper->value < builder.fields[1].value) {
            builder.set(KESTREL_FIELD_MAX_POSITION, joint.soft_upper, KESTREL_SOURCE_SOFT_LIMIT, file,
                        "soft_upper_limit");
        }
    }
    builder.set(KESTREL_FIELD_MAX_VELOCITY, joint.velocity, KESTREL_SOURCE_URDF, file, "velocity");
    if (joint.velocity) builder.positive(builder.fields[KESTREL_FIELD_MAX_VELOCITY]);
}

void apply_yaml(JointBuilder& builder, const YamlJoint& joint, const std::string& file) {
    if (joint.has_position && !joint.has_position->value) {
        builder.remove(KESTREL_FIELD_MIN_POSITION, -INFINITY, *joint.has_position, file, "has_position_limits");
        builder.remove(KESTREL_FIELD_MAX_POSITION, INFINITY, *joint.has_position, file, "has_position_limits");
    } else {
        builder.set(KESTREL_FIELD_MIN_POSITION, joint.min_position, KESTREL_SOURCE_YAML, file, "min_position");
        builder.set(KESTREL_FIELD_MAX_POSITION, joint.max_position, KESTREL_SOURCE_YAML, file, "max_position");
    }
    if (joint.has_velocity && !joint.has_velocity->value) {
        builder.remove(KESTREL_FIELD_MAX_VELOCITY, INFINITY, *joint.has_velocity, file, "has_velocity_limits");
    } else if (joint.max_velocity) {
        builder.set(KESTREL_FIELD_MAX_VELOCITY, joint.max_velocity, KESTREL_SOURCE_YAML, file, "max_velocity");
        builder.positive(builder.fields[KESTREL_FIELD_MAX_VELOCITY]);
    }
    // The limiter's acceleration limit is symmetric: the smaller of the
    // acceleration and the deceleration limit holds both ways.
    auto& acceleration = builder.fields[KESTREL_FIELD_MAX_ACCELERATION];
    if (auto value = builder.rate(joint.has_acceleration, joint.max_acceleration, file, "has_acceleration_limits",
                                  "max_acceleration")) {
        acceleration = *value;
    }
    if (auto value = builder.rate(joint.has_deceleration, joint.max_deceleration, file, "has_deceleration_limits",
                                  "max_deceleration");
        value && value->value < acceleration.value) {
        acceleration = *value;
    }
    if (auto value = builder.rate(joint.has_jerk, joint.max_jerk, file, "has_jerk_limits", "max_jerk")) {
        builder.fields[KESTREL_FIELD_MAX_JERK] = *value;
    }
}

}  // namespace

std::vector<DescribedJoint> combine(const ParsedFile<UrdfJoint>* urdf, const ParsedFile<YamlJoint>* yaml,
                                    const Selection& selection) {
    const auto urdf_joints = by_name(urdf);
    const auto yaml_joints = by_name(yaml);
    if (yaml != nullptr) {
        for (const YamlJoint& joint : yaml->joints) {
            if (urdf != nullptr && !urdf_joints.contains(joint.name)) {
                fail(KESTREL_ERROR_DESCRIPTION_JOINT,
                     joint_place(yaml->name, joint.line, joint.name) + "not in " + urdf->name);
            }
        }
    }
    const std::vector<std::string> names = selection.joints ? *selection.joints : default_joints(urdf, yaml);
    if (names.empty()) fail(KESTREL_ERROR_DESCRIPTION_JOINT, "no joint named to load");
    std::unordered_set<std::string_view> named;
    std::vector<DescribedJoint> out;
    for (const std::string& name : names) {
        if (!named.insert(name).second) fail(KESTREL_ERROR_DESCRIPTION_JOINT, "joint " + quoted(name) + " named twice");
        const auto u = urdf_joints.find(name);
        const auto y = yaml_joints.find(name);
        const ParsedFile<YamlJoint>* only = urdf == nullptr ? yaml : nullptr;
        if ((urdf != nullptr && u == urdf_joints.end()) || (only != nullptr && y == yaml_joints.end())) {
            fail(KESTREL_ERROR_DESCRIPTION_JOINT,
                 "joint " + quoted(name) + " is not in " + (urdf != nullptr ? urdf->name : yaml->name));
        }
        JointBuilder builder(name);
        DescribedJoint joint{name, {}, {}, {}, {}};
        if (urdf != nullptr) {
            const UrdfJoint& source = *u->second;
            if (!source.movable()) {
                fail(KESTREL_ERROR_DESCRIPTION_JOINT,
                     joint_place(urdf->name, source.line, name) + "a " + source.type + " joint has no limits to load");
            }
            joint.type = source.type;
            joint.mimics = source.mimics;
            apply_urdf(builder, source, urdf->name, selection.soft_limits);
        }
        if (y != yaml_joints.end()) apply_yaml(builder, *y->second, yaml->name);
        builder.check_range();
        double* fields[] = {&joint.limits.min_position, &joint.limits.max_position, &joint.limits.max_velocity,
                            &joint.limits.max_acceleration, &joint.limits.max_jerk};
        for (int i = 0; i < KESTREL_JOINT_LIMITS_FIELDS; ++i) {
            *fields[i] = builder.fields[i].value;
            joint.sources[i] = builder.fields[i].source;
        }
        out.push_back(std::move(joint));
    }
    return out;
}

std::vector<DescribedJoint> describe(const std::string& urdf_path, const std::string& yaml_path,
                                     const Selection& selection) {
    std::optional<ParsedFile<UrdfJoint>> urdf;
    std::optional<ParsedFile<YamlJoint>> yaml;
    if (!urdf_path.empty()) {
        urdf = ParsedFile<UrdfJoint>{urdf_path, parse_urdf(urdf_path, read_description_file(urdf_path))};
    }
    if (!yaml_path.empty()) {
        yaml = ParsedFile<YamlJoint>{yaml_path, parse_yaml(yaml_path, read_description_file(yaml_path))};
    }
    return combine(urdf ? &*urdf : nullptr, yaml ? &*yaml : nullptr, selection);
}

}  // namespace kestrel::description
