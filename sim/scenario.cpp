#include "scenario.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrel_sim {
namespace {

// A pick and place in joint space: from home to poses at fractions of each
// joint's half range around its middle (alternate joints mirrored, so the
// joints do not all move alike), dwelling at each, and home again from 7.2 s.
// The move across (from 3.7 s) is the longest and is under way when the
// link-loss and slow-stop scenarios stop the arm.
struct Waypoint {
    double from;      // s
    double fraction;  // of the half range, signed
};
constexpr Waypoint kPickAndPlace[] = {{0.0, 0.5}, {1.2, 0.7}, {2.4, 0.5}, {3.7, -0.5}, {5.2, -0.7}, {6.2, -0.5}};
constexpr double kHomeFrom = 7.2;  // s

// The controller's law: desired velocity per unit of error, far more than
// the joints may do for a large error.
constexpr double kGain = 6.0;  // 1/s

double pose(const DrivenJoint &joint, size_t index, double fraction) {
    const double middle = 0.5 * (joint.limits.min_position + joint.limits.max_position);
    const double half = 0.5 * (joint.limits.max_position - joint.limits.min_position);
    return middle + (index % 2 ? -fraction : fraction) * half;
}

void pick_and_place(const Robot &robot, double time, const std::vector<double> &measured,
                    std::vector<double> &request) {
    for (size_t index = 0; index < robot.joints.size(); ++index) {
        const DrivenJoint &joint = robot.joints[index];
        double target = joint.home;
        if (time < kHomeFrom) {
            for (const Waypoint &waypoint : kPickAndPlace) {
                if (time >= waypoint.from) target = pose(joint, index, waypoint.fraction);
            }
        }
        request[index] = kGain * (target - measured[index]);
    }
}

// Ten times each joint's velocity limit towards its upper limit, then its
// lower, then its upper again, each leg long enough for the joint to cross
// its whole range and press on its limit for half a second.
void runaway(const Robot &robot, double time, std::vector<double> &request) {
    for (size_t index = 0; index < robot.joints.size(); ++index) {
        const KestrelJointLimits &limits = robot.joints[index].limits;
        const double leg = (limits.max_position - limits.min_position) / limits.max_velocity +
                           limits.max_velocity / limits.max_acceleration + 0.5;
        const bool up = static_cast<long>(time / leg) % 2 == 0;
        request[index] = (up ? 10.0 : -10.0) * limits.max_velocity;
    }
}

// The pick and place with the controller losing its numbers: every joint
// NaN for 300 ms in the middle of the move across, the odd joints for 100 ms
// later, and joint 2 (or the last) on every other period for 200 ms.
void with_nans(const Robot &robot, double time, const std::vector<double> &measured, std::vector<double> &request) {
    pick_and_place(robot, time, measured, request);
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const long period = std::lround(time * 1000.0);
    const size_t flicker = std::min<size_t>(2, robot.joints.size() - 1);
    for (size_t index = 0; index < robot.joints.size(); ++index) {
        if ((time >= 4.0 && time < 4.3) || (index % 2 == 1 && time >= 6.3 && time < 6.4) ||
            (index == flicker && period % 2 == 0 && time >= 1.5 && time < 1.7)) {
            request[index] = nan;
        }
    }
}

constexpr const char *kNames[] = {"nominal",     "runaway", "nan",       "attack",   "link-loss",
                                  "model-error", "latency", "collision", "slow-stop"};

}  // namespace

std::optional<Scenario> parse_scenario(std::string_view name) {
    for (Scenario scenario : kScenarios) {
        if (name == scenario_name(scenario)) return scenario;
    }
    return std::nullopt;
}

const char *scenario_name(Scenario scenario) { return kNames[static_cast<int>(scenario)]; }

void controller_request(Scenario scenario, const Robot &robot, double time, const std::vector<double> &measured,
                        std::vector<double> &request) {
    switch (scenario) {
        case Scenario::runaway:
        case Scenario::model_error:
            return runaway(robot, time, request);
        case Scenario::nan:
            return with_nans(robot, time, measured, request);
        default:
            return pick_and_place(robot, time, measured, request);
    }
}

}  // namespace kestrel_sim
