#include "description/yaml_reader.hpp"

#include <array>
#include <numbers>
#include <sstream>
#include <cmath>
#include <unordered_map>
#include <unordered_set>
#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/exceptions.h>
#include <yaml-cpp/parser.h>

#include "description/description_failure.hpp"
#include "kestrel_description.h"

namespace kestrel::description {

namespace {

struct Node {
    enum class Kind : std::uint8_t { null, scalar, sequence, map } kind;
    std::uint32_t line;
    std::string tag;                      // "?" plain, "!" quoted, or the resolved tag
    std::string text;                     // of a scalar
    std::vector<std::uint32_t> children;  // a map's alternate keys and values
};

// Builds the document's nodes from the parser's events within the bounds.
class TreeBuilder final : public YAML::EventHandler {
public:
    TreeBuilder(std::string_view file) : file_(file) {}

    std::vector<Node> nodes;
    int documents = 0;

    void OnDocumentStart(const YAML::Mark&) override { ++documents; }
    void OnDocumentEnd() override {}
    void OnNull(const YAML::Mark& mark, YAML::anchor_t anchor) override {
        anchored(anchor, add(Node::Kind::null, mark, "", ""));
    }
    // An alias to a single value (max_velocity: *v) is a copy of it, one node
    // like any other; one to a map or a sequence would let a small file
    // stand for an exponential one, and is refused.
    void OnAlias(const YAML::Mark& mark, YAML::anchor_t anchor) override {
        const auto found = anchors_.find(anchor);
        if (found == anchors_.end() || nodes[found->second].kind == Node::Kind::map ||
            nodes[found->second].kind == Node::Kind::sequence) {
            fail(KESTREL_ERROR_DESCRIPTION_SYNTAX,
                 where(mark) + ": an alias (*name) to a map or a sequence; only aliases to single values are accepted");
        }
        const Node copy = nodes[found->second];
        add(copy.kind, mark, copy.tag, copy.text);
    }
    void OnScalar(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                  const std::string& value) override {
        anchored(anchor, add(Node::Kind::scalar, mark, tag, value));
    }
    void OnSequenceStart(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                         YAML::EmitterStyle::value) override {
        open_.push_back(add(Node::Kind::sequence, mark, tag, ""));
        anchored(anchor, open_.back());
    }
    void OnSequenceEnd() override { open_.pop_back(); }
    void OnMapStart(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                    YAML::EmitterStyle::value) override {
        open_.push_back(add(Node::Kind::map, mark, tag, ""));
        anchored(anchor, open_.back());
    }
    void OnMapEnd() override { open_.pop_back(); }

    std::string where(const YAML::Mark& mark) const {
        return place(file_, mark.is_null() ? 0 : static_cast<std::uint32_t>(mark.line + 1));
    }

private:
    std::uint32_t add(Node::Kind kind, const YAML::Mark& mark, const std::string& tag, const std::string& text) {
        if (documents > 1) fail(KESTREL_ERROR_DESCRIPTION_SYNTAX, where(mark) + ": a second YAML document");
        if (nodes.size() >= KESTREL_DESCRIPTION_MAX_YAML_NODES) {
            fail(KESTREL_ERROR_DESCRIPTION_TOO_LARGE,
                 where(mark) + ": more than " + std::to_string(KESTREL_DESCRIPTION_MAX_YAML_NODES) + " YAML nodes");
        }
        if (open_.size() + 1 > KESTREL_DESCRIPTION_MAX_DEPTH) {
            fail(KESTREL_ERROR_DESCRIPTION_TOO_LARGE, where(mark) + ": collections nest deeper than " +
                                                          std::to_string(KESTREL_DESCRIPTION_MAX_DEPTH) + " levels");
        }
        const auto index = static_cast<std::uint32_t>(nodes.size());
        nodes.push_back(Node{kind, mark.is_null() ? 0u : static_cast<std::uint32_t>(mark.line + 1), tag, text, {}});
        if (!open_.empty()) nodes[open_.back()].children.push_back(index);
        return index;
    }

    void anchored(YAML::anchor_t anchor, std::uint32_t index) {
        if (anchor != YAML::NullAnchor) anchors_[anchor] = index;
    }

    std::string_view file_;
    std::vector<std::uint32_t> open_;
    std::unordered_map<YAML::anchor_t, std::uint32_t> anchors_;  // anchor -> node
};

// The keys of a joint's map and where each goes; nullptr members: read and ignored.
struct LimitKey {
    std::string_view name;
    std::optional<Flag> YamlJoint::*flag;
    std::optional<Number> YamlJoint::*number;
};
constexpr LimitKey kKeys[] = {
    {"has_position_limits", &YamlJoint::has_position, nullptr},
    {"min_position", nullptr, &YamlJoint::min_position},
    {"max_position", nullptr, &YamlJoint::max_position},
    {"has_velocity_limits", &YamlJoint::has_velocity, nullptr},
    {"max_velocity", nullptr, &YamlJoint::max_velocity},
    {"has_acceleration_limits", &YamlJoint::has_acceleration, nullptr},
    {"max_acceleration", nullptr, &YamlJoint::max_acceleration},
    {"has_deceleration_limits", &YamlJoint::has_deceleration, nullptr},
    {"max_deceleration", nullptr, &YamlJoint::max_deceleration},
    {"has_jerk_limits", &YamlJoint::has_jerk, nullptr},
    {"max_jerk", nullptr, &YamlJoint::max_jerk},
    {"angle_wraparound", &YamlJoint::angle_wraparound, nullptr},
    {"has_effort_limits", nullptr, nullptr},
    {"max_effort", nullptr, nullptr},
    {"default_velocity_scaling_factor", nullptr, nullptr},
    {"default_acceleration_scaling_factor", nullptr, nullptr},
};

constexpr auto kKeyNames = [] {
    std::array<std::string_view, std::size(kKeys)> names{};
    for (std::size_t i = 0; i < names.size(); ++i) names[i] = kKeys[i].name;
    return names;
}();

class JointReader {
public:
    JointReader(std::string_view file, const std::vector<Node>& nodes) : file_(file), nodes_(nodes) {}

    // The value of `key` in the map `map`, or nullptr.
    const Node* lookup(const Node& map, std::string_view key) const {
        for (std::size_t i = 0; i + 1 < map.children.size(); i += 2) {
            const Node& k = nodes_[map.children[i]];
            if (k.kind == Node::Kind::scalar && k.text == key) return &nodes_[map.children[i + 1]];
        }
        return nullptr;
    }

    // The key nodes of a map, checked to be scalars and distinct.
    std::vector<std::pair<const Node*, const Node*>> entries(const Node& map, std::string_view joint) const {
        std::vector<std::pair<const Node*, const Node*>> out;
        std::unordered_set<std::string_view> seen;
        for (std::size_t i = 0; i + 1 < map.children.size(); i += 2) {
            const Node& key = nodes_[map.children[i]];
            const std::string prefix =
                joint.empty() ? place(file_, key.line) + ": " : joint_place(file_, key.line, joint);
            if (key.kind != Node::Kind::scalar) {
                fail(KESTREL_ERROR_DESCRIPTION_SYNTAX, prefix + "a key that is not text");
            }
            if (!seen.insert(key.text).second) {
                fail(joint.empty() ? KESTREL_ERROR_DESCRIPTION_JOINT : KESTREL_ERROR_DESCRIPTION_VALUE,
                     prefix + quoted(key.text) + " given twice");
            }
            out.emplace_back(&key, &nodes_[map.children[i + 1]]);
        }
        return out;
    }

    YamlJoint joint(const Node& key, const Node& value) const {
        check_name(file_, key.line, key.text);
        YamlJoint joint;
        joint.name = key.text;
        joint.line = key.line;
        if (value.kind != Node::Kind::map) {
            fail(KESTREL_ERROR_DESCRIPTION_SYNTAX,
                 joint_place(file_, value.line, key.text) + "expected a map of limits");
        }
        for (const auto& [field, content] : entries(value, key.text)) {
            const LimitKey* known = nullptr;
            for (const LimitKey& k : kKeys) {
                if (k.name == field->text) known = &k;
            }
            if (known == nullptr) {
                // has_jerk: false turns nothing on, so it is only reported; a
                // number or true under an unknown name is a limit lost.
                std::string message = joint_place(file_, field->line, key.text) + "unknown key " + quoted(field->text) +
                                      did_you_mean(field->text, kKeyNames);
                const std::optional<Flag> off = boolean(*content);
                if (!off || off->value) fail(KESTREL_ERROR_DESCRIPTION_VALUE, std::move(message));
                joint.warnings.push_back({KESTREL_ERROR_DESCRIPTION_VALUE, std::move(message), "its false is ignored"});
                continue;
            }
            if (known->flag != nullptr) joint.*(known->flag) = flag(*content, joint.name, known->name);
            if (known->number != nullptr) joint.*(known->number) = number(*content, joint.name, known->name);
        }
        return joint;
    }

private:
    [[noreturn]] void bad(const Node& node, std::string_view joint, std::string_view field,
                          const std::string& problem) const {
        fail(KESTREL_ERROR_DESCRIPTION_VALUE,
             joint_place(file_, node.line, joint) + std::string(field) + ": " + problem);
    }

    Number number(const Node& node, std::string_view joint, std::string_view field) const {
        const bool degrees = node.tag == "!degrees";
        if (node.kind != Node::Kind::scalar) bad(node, joint, field, "expected a number");
        if (node.tag == "!") bad(node, joint, field, quoted(node.text) + " is quoted text, not a number");
        if (!degrees && node.tag != "?" && node.tag != "tag:yaml.org,2002:float" &&
            node.tag != "tag:yaml.org,2002:int") {
            bad(node, joint, field, "unknown tag " + quoted(node.tag));
        }
        const std::optional<double> value = parse_decimal(node.text);
        if (!value) bad(node, joint, field, quoted(node.text) + " is not a finite number");
        // x * pi / 180 in this order, the rounding the header promises; a
        // value the conversion carries beyond the doubles is no limit either.
        const double radians = degrees ? *value * std::numbers::pi / 180.0 : *value;
        if (!std::isfinite(radians))
            bad(node, joint, field, "!degrees " + quoted(node.text) + " is not finite in radians");
        return Number{radians, node.line};
    }

    // A plain or !!bool true or false, else nullopt.
    static std::optional<Flag> boolean(const Node& node) {
        if (node.kind == Node::Kind::scalar && (node.tag == "?" || node.tag == "tag:yaml.org,2002:bool")) {
            for (std::string_view word : {"true", "True", "TRUE"}) {
                if (node.text == word) return Flag{true, node.line};
            }
            for (std::string_view word : {"false", "False", "FALSE"}) {
                if (node.text == word) return Flag{false, node.line};
            }
        }
        return std::nullopt;
    }

    Flag flag(const Node& node, std::string_view joint, std::string_view field) const {
        if (const std::optional<Flag> value = boolean(node)) return *value;
        bad(node, joint, field, quoted(node.text) + " is not true or false");
    }

    std::string_view file_;
    const std::vector<Node>& nodes_;
};

}  // namespace

std::vector<YamlJoint> parse_yaml(std::string_view file, std::string_view text, std::vector<Warning>& warnings) {
    check_text(file, text);
    if (text.size() > KESTREL_DESCRIPTION_MAX_YAML_SIZE) {
        fail(KESTREL_ERROR_DESCRIPTION_TOO_LARGE, std::string(file) + ": a YAML file over " +
                                                      std::to_string(KESTREL_DESCRIPTION_MAX_YAML_SIZE >> 10) +
                                                      " KiB (a joint_limits.yaml holds a few)");
    }
    TreeBuilder builder(file);
    try {
        std::istringstream stream{std::string(text)};
        YAML::Parser parser(stream);
        while (parser.HandleNextDocument(builder)) {}
    } catch (const YAML::Exception& error) {
        fail(KESTREL_ERROR_DESCRIPTION_SYNTAX, builder.where(error.mark) + ": malformed YAML: " + error.msg);
    }
    const std::vector<Node>& nodes = builder.nodes;
    if (nodes.empty() || nodes[0].kind != Node::Kind::map) {
        fail(KESTREL_ERROR_DESCRIPTION_SYNTAX, std::string(file) + ": expected a map at the top of the file");
    }
    const JointReader reader(file, nodes);
    // joint_limits at the top, or under one of the top-level keys (and only one).
    const auto top = reader.entries(nodes[0], {});  // refuses a key given twice
    const Node* limits = reader.lookup(nodes[0], "joint_limits");
    const Node* holder = limits != nullptr ? &nodes[0] : nullptr;  // the map joint_limits stands in
    if (limits == nullptr) {
        for (const auto& [key, value] : top) {
            if (value->kind != Node::Kind::map) continue;
            const Node* inner = reader.lookup(*value, "joint_limits");
            if (inner != nullptr && limits != nullptr) {
                fail(KESTREL_ERROR_DESCRIPTION_SYNTAX,
                     place(file, key->line) + ": a second map joint_limits (under " + quoted(key->text) + ")");
            }
            if (inner != nullptr) limits = inner, holder = value;
        }
    }
    // Maps beside it (cartesian_limits) and at the top hold limits this
    // reader does not load: said once each, never dropped without a word.
    const auto unused = [&](const Node& map) {
        for (std::size_t i = 0; i + 1 < map.children.size(); i += 2) {
            const Node& key = nodes[map.children[i]];
            const Node& value = nodes[map.children[i + 1]];
            if (value.kind != Node::Kind::map || &value == holder || &value == limits) continue;
            warnings.push_back(
                {KESTREL_ERROR_DESCRIPTION_SYNTAX,
                 place(file, key.line) + ": the map " + quoted(key.text) + " is not read (only joint_limits is)",
                 "ignored"});
        }
    };
    if (limits != nullptr) {
        unused(nodes[0]);
        if (holder != &nodes[0]) unused(*holder);
    }
    if (limits == nullptr) {
        fail(KESTREL_ERROR_DESCRIPTION_SYNTAX,
             std::string(file) + ": no map joint_limits at the top of the file or one level below it");
    }
    if (limits->kind != Node::Kind::map) {
        fail(KESTREL_ERROR_DESCRIPTION_SYNTAX, place(file, limits->line) + ": joint_limits is not a map");
    }
    std::vector<YamlJoint> joints;
    for (const auto& [key, value] : reader.entries(*limits, {})) joints.push_back(reader.joint(*key, *value));
    return joints;
}

}  // namespace kestrel::description
