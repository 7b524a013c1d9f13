// The scenarios: what the controlling program asks for, before any limiter
// sees it, and what each does to the plant, the drive and the link. Every
// motion is made from each joint's own limits, so any robot runs them.
#ifndef KESTREL_SIM_SCENARIO_H
#define KESTREL_SIM_SCENARIO_H

#include <optional>
#include <string_view>
#include <vector>

#include "robot.h"

namespace kestrel_sim {

enum class Scenario { nominal, runaway, nan, attack, link_loss, model_error, latency, collision, slow_stop };
inline constexpr Scenario kScenarios[] = {Scenario::nominal, Scenario::runaway,   Scenario::nan,
                                          Scenario::attack,  Scenario::link_loss, Scenario::model_error,
                                          Scenario::latency, Scenario::collision, Scenario::slow_stop};

// "nominal", "runaway", "nan", "attack", "link-loss", "model-error",
// "latency", "collision", "slow-stop"; nullopt for anything else.
std::optional<Scenario> parse_scenario(std::string_view name);
const char *scenario_name(Scenario scenario);

// What a scenario does beside the request.
inline constexpr double kLinkLossTime = 4.0;            // s: link-loss's link goes dead
inline constexpr double kModelErrorFactor = 2.5;        // model-error's plant is this many times heavier than its model
inline constexpr double kLatencyDelay = 0.020;          // s: latency's link delay,
inline constexpr double kLatencyJitter = 0.005;         // s: its jitter
inline constexpr double kLatencyDrop = 0.05;            // and the fraction it loses
inline constexpr double kCollisionTime = 3.0;           // s: collision's pulse starts,
inline constexpr double kCollisionLength = 0.050;       // s: lasts this long
inline constexpr double kCollisionRatio = 3.0;          // times the pushed joint's torque limit
inline constexpr double kSlowStopTime = 4.0;            // s: slow-stop's operator stop
inline constexpr double kSlowStopFraction = 1.0 / 3.0;  // of the deceleration the drive then brakes at

// The joint collision pushes: the second, or the only one.
inline size_t collision_joint(const Robot &robot) { return robot.joints.size() > 1 ? 1 : 0; }

// The controller's desired velocity per joint at `time` (s) from the measured
// positions; NaN asks a joint to stop.
void controller_request(Scenario scenario, const Robot &robot, double time, const std::vector<double> &measured,
                        std::vector<double> &request);

}  // namespace kestrel_sim

#endif
