#include "scenario.h"

#include <cmath>
#include <limits>

namespace kestrel_sim {
namespace {

using Pose = std::array<double, kJoints>;

// A pick and a place: over the part, down to it, dwell (gripping), up, across
// to the drop, down, dwell, up and home. The move across (from 3.7 s) is the
// longest and is under way when the link-loss scenario cuts the link.
struct Waypoint {
    double from;  // s
    Pose pose;
};
constexpr Pose kPickAbove{0.9, 0.3, 0.2, -1.6, 0.4, 1.9, 0.3};
constexpr Pose kPick{0.9, 0.6, 0.2, -1.2, 0.4, 1.9, 0.3};
constexpr Pose kPlaceAbove{-1.1, 0.3, -0.3, -1.6, -0.5, 2.0, 1.4};
constexpr Pose kPlace{-1.1, 0.6, -0.3, -1.2, -0.5, 2.0, 1.4};
constexpr std::array<Waypoint, 6> kPickAndPlace{{
    {0.0, kPickAbove},
    {1.2, kPick},
    {2.4, kPickAbove},
    {3.7, kPlaceAbove},
    {5.2, kPlace},
    {6.2, kPlaceAbove},
}};
constexpr double kHomeFrom = 7.2;  // s

// The controller's law, as in the demo: desired velocity per rad of error,
// far more than the joints may do for a large error.
constexpr double kGain = 6.0;  // 1/s

Request pick_and_place(const Datasheet &sheet, double time, const Pose &measured) {
    const Pose *target = &sheet.home;
    if (time < kHomeFrom) {
        for (const Waypoint &waypoint : kPickAndPlace) {
            if (time >= waypoint.from) target = &waypoint.pose;
        }
    }
    Request request;
    for (int joint = 0; joint < kJoints; ++joint) {
        request.values[joint] = kGain * ((*target)[joint] - measured[joint]);
    }
    return request;
}

// Ten times each joint's velocity limit, up for a second and then down;
// from 5 s a position 0.5 rad beyond each joint's upper limit.
Request runaway(const Datasheet &sheet, double time) {
    Request request;
    request.positions = time >= 5.0;
    for (int joint = 0; joint < kJoints; ++joint) {
        const KestrelJointLimits &limits = sheet.limits[joint];
        if (request.positions) {
            request.values[joint] = limits.max_position + 0.5;
        } else {
            request.values[joint] = (time < 1.0 ? 10.0 : -10.0) * limits.max_velocity;
        }
    }
    return request;
}

// The pick and place with the controller losing its numbers: every joint
// NaN for 300 ms in the middle of the move across, the odd joints for
// 100 ms later, and joint 2 on every other period for 200 ms.
Request with_nans(const Datasheet &sheet, double time, const Pose &measured) {
    Request request = pick_and_place(sheet, time, measured);
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const long period = std::lround(time * 1000.0);
    for (int joint = 0; joint < kJoints; ++joint) {
        if ((time >= 4.0 && time < 4.3) || (joint % 2 == 1 && time >= 6.3 && time < 6.4) ||
            (joint == 2 && period % 2 == 0 && time >= 1.5 && time < 1.7)) {
            request.values[joint] = nan;
        }
    }
    return request;
}

}  // namespace

std::optional<Scenario> parse_scenario(std::string_view name) {
    for (Scenario scenario :
         {Scenario::nominal, Scenario::runaway, Scenario::nan, Scenario::attack, Scenario::link_loss}) {
        if (name == scenario_name(scenario)) return scenario;
    }
    return std::nullopt;
}

const char *scenario_name(Scenario scenario) {
    switch (scenario) {
        case Scenario::nominal:
            return "nominal";
        case Scenario::runaway:
            return "runaway";
        case Scenario::nan:
            return "nan";
        case Scenario::attack:
            return "attack";
        case Scenario::link_loss:
            return "link-loss";
    }
    return "?";
}

Request controller_request(Scenario scenario, const Datasheet &sheet, double time, const Pose &measured) {
    switch (scenario) {
        case Scenario::runaway:
            return runaway(sheet, time);
        case Scenario::nan:
            return with_nans(sheet, time, measured);
        default:
            return pick_and_place(sheet, time, measured);
    }
}

}  // namespace kestrel_sim
