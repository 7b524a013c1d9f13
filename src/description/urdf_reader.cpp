#include "description/urdf_reader.hpp"

#include <algorithm>
#include <span>
#include <tinyxml2.h>
#include <unordered_set>

#include "description/description_failure.hpp"
#include "kestrel_description.h"

namespace kestrel::description {

namespace {

using tinyxml2::XMLElement;

// One pass over the markup before parsing: the element depth (tinyxml2
// recurses once per level), the number of elements (its memory) and no
// <!DOCTYPE, where entities would be declared. Comments, CDATA, processing instructions and quoted attribute
// values are stepped over, so text inside them counts for nothing.
void prescan_xml(std::string_view file, std::string_view text) {
    std::uint32_t depth = 0;
    std::uint32_t elements = 0;
    std::size_t i = 0;
    const auto skip_past = [&](std::string_view end) {
        const std::size_t found = text.find(end, i);
        i = found == std::string_view::npos ? text.size() : found + end.size();
    };
    while ((i = text.find('<', i)) != std::string_view::npos) {
        const std::string_view rest = text.substr(i);
        if (rest.starts_with("<!--")) {
            skip_past("-->");
        } else if (rest.starts_with("<![CDATA[")) {
            skip_past("]]>");
        } else if (rest.starts_with("<?")) {
            skip_past("?>");
        } else if (rest.starts_with("<!")) {
            fail(KESTREL_ERROR_DESCRIPTION_SYNTAX, place(file, line_of(text, i)) +
                                                       ": a document type declaration (<!DOCTYPE, <!ENTITY); "
                                                       "a URDF needs none, and entities are not expanded");
        } else if (rest.starts_with("</")) {
            if (depth > 0) --depth;
            skip_past(">");
        } else {
            const std::size_t start = i;
            char quote = 0;
            for (++i; i < text.size(); ++i) {
                if (quote != 0) {
                    if (text[i] == quote) quote = 0;
                } else if (text[i] == '"' || text[i] == '\'') {
                    quote = text[i];
                } else if (text[i] == '>') {
                    break;
                }
            }
            const bool closes_itself = i < text.size() && text[i - 1] == '/';
            if (++elements > KESTREL_DESCRIPTION_MAX_XML_ELEMENTS) {
                fail(KESTREL_ERROR_DESCRIPTION_TOO_LARGE, place(file, line_of(text, start)) + ": more than " +
                                                              std::to_string(KESTREL_DESCRIPTION_MAX_XML_ELEMENTS) +
                                                              " elements");
            }
            if (depth + 1 > KESTREL_DESCRIPTION_MAX_DEPTH) {
                fail(KESTREL_ERROR_DESCRIPTION_TOO_LARGE,
                     place(file, line_of(text, start)) + ": elements nest deeper than " +
                         std::to_string(KESTREL_DESCRIPTION_MAX_DEPTH) + " levels");
            }
            if (!closes_itself) ++depth;
            ++i;
        }
    }
}

// The attribute `name` of `element` as a number, or nullopt when absent.
std::optional<Number> number_attribute(std::string_view file, const UrdfJoint& joint, const XMLElement& element,
                                       const char* name) {
    const tinyxml2::XMLAttribute* attribute = element.FindAttribute(name);
    if (attribute == nullptr) return std::nullopt;
    const auto line = static_cast<std::uint32_t>(attribute->GetLineNum());
    const std::optional<double> value = parse_decimal(attribute->Value());
    if (!value) {
        fail(KESTREL_ERROR_DESCRIPTION_VALUE, joint_place(file, line, joint.name) + "<" + element.Name() + "> " + name +
                                                  ": " + quoted(attribute->Value()) + " is not a finite number");
    }
    return Number{*value, line};
}

// The one child element `name` of `joint_element`, or null; two are an error.
const XMLElement* only_child(std::string_view file, const UrdfJoint& joint, const XMLElement& joint_element,
                             const char* name) {
    const XMLElement* child = joint_element.FirstChildElement(name);
    if (child != nullptr && child->NextSiblingElement(name) != nullptr) {
        fail(KESTREL_ERROR_DESCRIPTION_VALUE,
             joint_place(file, static_cast<std::uint32_t>(child->NextSiblingElement(name)->GetLineNum()), joint.name) +
                 "a second <" + name + ">");
    }
    return child;
}

std::string required_attribute(std::string_view file, const XMLElement& element, const char* name,
                               std::string_view joint) {
    const char* value = element.Attribute(name);
    if (value == nullptr || *value == '\0') {
        const std::string where = place(file, static_cast<std::uint32_t>(element.GetLineNum()));
        fail(KESTREL_ERROR_DESCRIPTION_SYNTAX,
             joint.empty() ? where + ": <joint> without a " + name
                           : where + ": joint " + quoted(joint) + ": <" + element.Name() + "> without a " + name);
    }
    return value;
}

// The attributes the URDF format gives each element the reader reads. A name
// outside the list is a typo until shown otherwise (a misspelt upper would
// leave the joint without a limit), except one in another XML namespace
// (drake:acceleration), which is another tool's extension.
constexpr std::string_view kJointAttributes[] = {"name", "type"};
constexpr std::string_view kLimitAttributes[] = {"lower", "upper", "effort", "velocity"};
constexpr std::string_view kSafetyAttributes[] = {"soft_lower_limit", "soft_upper_limit", "k_position", "k_velocity"};
constexpr std::string_view kMimicAttributes[] = {"joint", "multiplier", "offset"};

void check_attributes(std::string_view file, std::string_view joint, const XMLElement& element,
                      std::span<const std::string_view> known) {
    for (const tinyxml2::XMLAttribute* a = element.FirstAttribute(); a != nullptr; a = a->Next()) {
        const std::string_view name = a->Name();
        if (name.find(':') != std::string_view::npos || name == "xmlns") continue;
        if (std::find(known.begin(), known.end(), name) != known.end()) continue;
        std::string expected;
        for (const std::string_view k : known) expected += (expected.empty() ? "" : ", ") + std::string(k);
        std::string suggestion = did_you_mean(name, known);
        fail(KESTREL_ERROR_DESCRIPTION_VALUE, joint_place(file, static_cast<std::uint32_t>(a->GetLineNum()), joint) +
                                                  "<" + element.Name() + "> has an unknown attribute " + quoted(name) +
                                                  (suggestion.empty() ? " (expected " + expected + ")" : suggestion));
    }
}

UrdfJoint read_joint(std::string_view file, const XMLElement& element) {
    UrdfJoint joint;
    joint.line = static_cast<std::uint32_t>(element.GetLineNum());
    joint.name = required_attribute(file, element, "name", {});
    check_name(file, joint.line, joint.name);
    check_attributes(file, joint.name, element, kJointAttributes);
    joint.type = required_attribute(file, element, "type", joint.name);
    static const std::unordered_set<std::string> kTypes{"revolute", "continuous", "prismatic",
                                                        "fixed",    "floating",   "planar"};
    if (!kTypes.contains(joint.type)) {
        fail(KESTREL_ERROR_DESCRIPTION_VALUE,
             joint_place(file, joint.line, joint.name) + "type: unknown type " + quoted(joint.type));
    }
    if (!joint.movable()) return joint;
    if (const XMLElement* limit = only_child(file, joint, element, "limit")) {
        check_attributes(file, joint.name, *limit, kLimitAttributes);
        joint.limit_line = static_cast<std::uint32_t>(limit->GetLineNum());
        joint.lower = number_attribute(file, joint, *limit, "lower");
        joint.upper = number_attribute(file, joint, *limit, "upper");
        joint.velocity = number_attribute(file, joint, *limit, "velocity");
        joint.effort = number_attribute(file, joint, *limit, "effort");
    }
    if (const XMLElement* safety = only_child(file, joint, element, "safety_controller")) {
        check_attributes(file, joint.name, *safety, kSafetyAttributes);
        joint.soft_lower = number_attribute(file, joint, *safety, "soft_lower_limit");
        joint.soft_upper = number_attribute(file, joint, *safety, "soft_upper_limit");
    }
    if (const XMLElement* mimic = only_child(file, joint, element, "mimic")) {
        check_attributes(file, joint.name, *mimic, kMimicAttributes);
        joint.mimics = required_attribute(file, *mimic, "joint", joint.name);
        check_name(file, static_cast<std::uint32_t>(mimic->GetLineNum()), joint.mimics);
    }
    return joint;
}

// The XML parser's error in words, for one line of a message.
const char* xml_problem(tinyxml2::XMLError error) {
    switch (error) {
        case tinyxml2::XML_ERROR_PARSING_ELEMENT:
            return "an element that is cut short or not closed";
        case tinyxml2::XML_ERROR_PARSING_ATTRIBUTE:
            return "an attribute that is not name=\"value\"";
        case tinyxml2::XML_ERROR_PARSING_TEXT:
            return "text outside the elements, or a stray '<' or '&'";
        case tinyxml2::XML_ERROR_PARSING_CDATA:
        case tinyxml2::XML_ERROR_PARSING_COMMENT:
        case tinyxml2::XML_ERROR_PARSING_DECLARATION:
        case tinyxml2::XML_ERROR_PARSING_UNKNOWN:
            return "a comment, CDATA section or declaration that is not closed";
        case tinyxml2::XML_ERROR_EMPTY_DOCUMENT:
            return "no element at all";
        case tinyxml2::XML_ERROR_MISMATCHED_ELEMENT:
            return "an element not closed, or closed by another's end tag";
        case tinyxml2::XML_ELEMENT_DEPTH_EXCEEDED:
            return "elements nest too deep";
        default:
            return "not well-formed";
    }
}

}  // namespace

std::vector<UrdfJoint> parse_urdf(std::string_view file, std::string_view text) {
    check_text(file, text);
    prescan_xml(file, text);
    // Text that does not start as XML does (a YAML file given as the URDF)
    // is named for what it is, not for the XML parser's first complaint.
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    const bool bom = text.starts_with("\xEF\xBB\xBF");
    if (first != std::string_view::npos && text[first] != '<' && !(bom && first == 0)) {
        fail(KESTREL_ERROR_DESCRIPTION_SYNTAX, place(file, line_of(text, first)) +
                                                   ": not a URDF: expected XML with a <robot> element, found " +
                                                   quoted(text.substr(first, text.find('\n', first) - first)));
    }
    tinyxml2::XMLDocument document(true, tinyxml2::PRESERVE_WHITESPACE);
    if (const tinyxml2::XMLError error = document.Parse(text.data(), text.size()); error != tinyxml2::XML_SUCCESS) {
        fail(KESTREL_ERROR_DESCRIPTION_SYNTAX, place(file, static_cast<std::uint32_t>(document.ErrorLineNum())) +
                                                   ": malformed XML: " + xml_problem(error));
    }
    const XMLElement* robot = document.RootElement();
    if (robot == nullptr || std::string_view(robot->Name()) != "robot") {
        fail(KESTREL_ERROR_DESCRIPTION_SYNTAX,
             std::string(file) + ": not a URDF: expected a <robot> element at the top, found " +
                 (robot == nullptr ? std::string("none") : quoted("<" + std::string(robot->Name()) + ">")));
    }
    std::vector<UrdfJoint> joints;
    std::unordered_set<std::string> names;
    for (const XMLElement* element = robot->FirstChildElement("joint"); element != nullptr;
         element = element->NextSiblingElement("joint")) {
        UrdfJoint joint = read_joint(file, *element);
        if (!names.insert(joint.name).second) {
            fail(KESTREL_ERROR_DESCRIPTION_JOINT, joint_place(file, joint.line, joint.name) + "defined twice");
        }
        joints.push_back(std::move(joint));
    }
    return joints;
}

}  // namespace kestrel::description
