// The scenarios and the controller's side of each: what the controlling
// program asks for, before any limiter sees it.
#ifndef KESTREL_SIM_SCENARIO_H
#define KESTREL_SIM_SCENARIO_H

#include <array>
#include <optional>
#include <string_view>

#include "datasheet.h"

namespace kestrel_sim {

enum class Scenario { nominal, runaway, nan, attack, link_loss };

// "nominal", "runaway", "nan", "attack", "link-loss"; nullopt for anything else.
std::optional<Scenario> parse_scenario(std::string_view name);
const char *scenario_name(Scenario scenario);

// When the link goes dead in the link-loss scenario (s).
inline constexpr double kLinkLossTime = 4.0;

// A request for every joint: desired velocities (rad/s) or, with positions
// set, desired positions (rad). NaN asks a joint to stop.
struct Request {
    bool positions = false;
    std::array<double, kJoints> values{};
};

// The controller's request at `time` (s) from the measured joint positions.
Request controller_request(Scenario scenario, const Datasheet &sheet, double time,
                           const std::array<double, kJoints> &measured);

}  // namespace kestrel_sim

#endif
