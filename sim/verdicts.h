// The run's verdicts: what kestrel_sim checks each period on the plant as
// MuJoCo measured it, and the figures it prints at the end. Every check
// prints one line, PASS or FAIL; any FAIL makes the run exit 1.
#ifndef KESTREL_SIM_VERDICTS_H
#define KESTREL_SIM_VERDICTS_H

#include <cstdint>
#include <string>
#include <vector>

#include <mujoco/mujoco.h>

#include "drive.h"
#include "kestrel_monitor.h"
#include "robot.h"

namespace kestrel_sim {

// What a scenario's monitor must do: never trip, trip on the operator's
// (or the watchdog's) request, or trip on what it measured.
enum class Expected { no_trip, request, measured };

// An upper bound of a joint's stop from speed `speed` with any acceleration
// inside its limits, measured from the trip: the monitor's reaction, the
// jerk-limited braking ramp (acceleration ramped over to full braking, held,
// ramped back) and the drive's settling onto the stopped command.
struct StopBound {
    double time;      // s
    double distance;  // rad or m
};
StopBound stop_bound(const KestrelJointLimits &limits, double speed, double following_error);

class Judge {
public:
    Judge(const Robot &robot, const KestrelMonitorConfig &monitor, Expected expected, size_t periods);

    // One period: the measured positions and velocities at `time`, the
    // monitor's state after it checked them and its first trip, and what the
    // drives were then told and gave. A position beyond its limit plus the
    // tolerance fails whatever the state; a velocity beyond its limit plus
    // the tolerance fails when the monitor let it pass (RUN): after a trip
    // the stop is judged by its bound.
    void period(double time, const std::vector<double> &positions, const std::vector<double> &velocities,
                const ServoCommands &command, const std::vector<double> &torques, KestrelMonitorState state,
                const KestrelTrip &trip);
    void cost(double chain_seconds, double step_seconds);

    // Prints the figures and the verdicts (`last`: the monitor's latest trip);
    // true when every check passed.
    bool report(const mjData *plant, const KestrelTrip &last, double duration, uint64_t injected_accepted,
                uint64_t accepted_late, uint64_t refused_stale, uint64_t refusals, double wall) const;

private:
    const Robot &robot_;
    KestrelMonitorConfig monitor_;
    Expected expected_;
    // Worst excess over limit plus tolerance (<= 0 inside), with its joint and time.
    double position_excess_ = -1e300, velocity_excess_ = -1e300;
    size_t position_joint_ = 0, velocity_joint_ = 0;
    double position_time_ = 0, velocity_time_ = 0;
    uint64_t non_finite_ = 0;
    double tracking_max_ = 0, tracking_sum_ = 0;
    size_t tracking_joint_ = 0, tracked_ = 0;
    // The stop: the state at the trip, then the end (standstill or torque off).
    bool tripped_ = false, stopped_ = false;
    KestrelTrip trip_{};
    double trip_time_ = 0, stop_time_ = 0;
    std::vector<double> commanded_;  // the positions commanded for this period's instant
    std::vector<double> trip_position_, distance_;
    std::vector<StopBound> bound_;
    std::vector<double> chain_, step_;  // s per period
};

}  // namespace kestrel_sim

#endif
