// kestrel_sim: a robot under MuJoCo, driven at 1 kHz through the whole
// safety chain on a simulated clock, as its controlling program and its
// drives would use Kestrel's C API. Each period:
//
//   controller's request -> joint limiter -> boundary (signs) -> frame
//     -> link (delay, jitter, loss; the scenario's faults) -> guard -> watchdog
//     -> monitor (measured motion) -> actuator side's joint limiter
//     -> drive (torque, limited; brakes with the torque off) -> plant
//
// Loads the model once and steps it in a plain loop, reading qpos and qvel
// straight from mjData. Run with --help for the options; exits 0 when every
// verdict passed, 1 when one failed, 2 for bad arguments or a model, file or
// library call that failed.
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

#include <mujoco/mujoco.h>

#include "actuator_side.h"
#include "controller_side.h"
#include "drive.h"
#include "simulated_link.h"
#include "options.h"
#include "period_events.h"
#include "robot.h"
#include "scenario.h"
#include "simulated_clock.h"
#include "verdicts.h"

namespace {

using namespace kestrel_sim;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kStartNs = 1'767'225'600'000'000'000;  // the simulated clock starts at 2026-01-01
// Receipts cross an undelayed link within the period they are signed in; the
// default maximum age leaves room for a late controller.
constexpr uint64_t kMaxAgeNs = 50'000'000;
// Twenty periods without an accepted command, beyond the link's own worst
// delay, and the link counts as gone: long enough to ride out a refused frame
// or two, short next to the arm's braking time.
constexpr uint64_t kWatchdogNs = 20'000'000;
// The monitor's tolerances, which the verdicts judge by too: 0.01 rad (or m)
// beyond a position limit, 5 % over a velocity limit; standstill below 0.01.
constexpr KestrelMonitorConfig kMonitor{0.01, 0.05, 0.01, KESTREL_MONITOR_SS1};

struct CloseFile {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, CloseFile>;

std::unique_ptr<mjModel, decltype(&mj_deleteModel)> load(const std::string &path) {
    char error[1000] = "";
    std::unique_ptr<mjModel, decltype(&mj_deleteModel)> model(mj_loadXML(path.c_str(), nullptr, error, sizeof error),
                                                              mj_deleteModel);
    if (!model) throw std::runtime_error(path + ": " + error);
    return model;
}

uint64_t nanoseconds(double seconds) { return static_cast<uint64_t>(std::llround(seconds * 1e9)); }

Expected expected(Scenario scenario) {
    switch (scenario) {
        case Scenario::link_loss:
        case Scenario::slow_stop:
            return Expected::request;
        case Scenario::model_error:
        case Scenario::collision:
            return Expected::measured;
        default:
            return Expected::no_trip;
    }
}

int run(Options options) {
    auto model = load(options.model);
    // The plant steps once per control period, whatever its file says.
    model->opt.timestep = kPeriod;
    const Robot robot = read_robot(model.get(), options.robot);
    const size_t joints = robot.joints.size();
    Drive drive(robot, options.drive_model);
    if (options.scenario == Scenario::model_error) {
        mj_setTotalmass(model.get(), kModelErrorFactor * mj_getTotalmass(model.get()));
    }
    std::unique_ptr<mjData, decltype(&mj_deleteData)> data(mj_makeData(model.get()), mj_deleteData);
    for (const DrivenJoint &joint : robot.joints) data->qpos[joint.qpos] = joint.home;
    mj_forward(model.get(), data.get());

    LinkConfig &link_config = options.link;
    if (options.scenario == Scenario::latency) {
        link_config.delay = kLatencyDelay, link_config.jitter = kLatencyJitter, link_config.drop = kLatencyDrop;
    }
    link_config.attack = options.scenario == Scenario::attack;
    if (options.scenario == Scenario::link_loss) link_config.dead_from = kLinkLossTime;
    ActuatorConfig actuator_config{kMaxAgeNs, kWatchdogNs + nanoseconds(link_config.delay + link_config.jitter),
                                   kMonitor, options.scenario == Scenario::slow_stop, options.switches};
    // A delayed link: the guard's maximum age below the worst delay (the delay
    // plus four fifths of the jitter), so the latest frames are refused as stale.
    if (link_config.delay + link_config.jitter > 0) {
        actuator_config.max_age_ns = nanoseconds(link_config.delay + 0.8 * link_config.jitter);
    }

    File csv;
    if (!options.csv.empty()) {
        const std::string stem = options.csv.size() > 4 && options.csv.ends_with(".csv")
                                     ? options.csv.substr(0, options.csv.size() - 4)
                                     : options.csv;
        write_robot_csv(robot, stem + ".joints.csv");
        csv.reset(std::fopen(options.csv.c_str(), "w"));
        if (!csv) throw std::runtime_error(options.csv + ": cannot be written");
        std::fputs(
            "time_s,joint,requested_velocity,commanded_position,commanded_velocity,measured_position,"
            "measured_velocity,torque,monitor_state,event\n",
            csv.get());
    }

    // A fresh key per run, shared by the two sides as a provisioned link key would be.
    std::array<uint8_t, KESTREL_KEY_LEN> key;
    std::random_device entropy;
    for (uint8_t &byte : key) byte = static_cast<uint8_t>(entropy());

    SimulatedClock clock{kStartNs};
    ControllerSide controller(robot, key.data(), clock, options.switches);
    Link link(link_config, static_cast<int>(joints));
    ActuatorSide actuator(robot, actuator_config, key.data(), clock);
    const long periods = std::lround(options.duration / kPeriod);
    Judge judge(robot, kMonitor, expected(options.scenario), static_cast<size_t>(periods));
    const size_t pushed = collision_joint(robot);

    std::vector<LinkFrame> sent;
    sent.reserve(joints);
    PeriodEvents events(joints);
    ServoCommands servo{robot.home(), std::vector<double>(joints), std::vector<double>(joints), false};
    std::vector<double> request(joints), measured(joints), speed(joints), torques(joints);
    bool braked = false;

    const auto wall_start = Clock::now();
    for (long period = 0; period < periods; ++period) {
        clock.now_ns = kStartNs + static_cast<uint64_t>(period) * kPeriodNs;
        // The bench's own time: MuJoCo resets its clock when the simulation goes unstable.
        const double time = static_cast<double>(period) * kPeriod;
        for (size_t joint = 0; joint < joints; ++joint) {
            measured[joint] = data->qpos[robot.joints[joint].qpos];
            speed[joint] = data->qvel[robot.joints[joint].dof];
        }
        events.clear();

        const auto chain_start = Clock::now();
        controller_request(options.scenario, robot, time, measured, request);
        controller.command(request, clock.now_ns, sent, events);
        actuator.receive(link.carry(time, clock.now_ns, sent), clock.now_ns, events);
        if (options.scenario == Scenario::slow_stop && period == std::lround(kSlowStopTime / kPeriod)) {
            actuator.request_stop();
            events.add_all("operator_stop");
        }
        actuator.command(measured, speed, servo, events);
        drive.torques(robot, data.get(), servo, torques);
        const auto chain_end = Clock::now();
        judge.period(time, measured, speed, servo, torques, actuator.state(), actuator.trip());

        if (servo.torque_off && !braked && options.switches.brake) {
            engage_brakes(model.get(), robot);
            braked = true;
        }
        for (size_t joint = 0; joint < joints; ++joint) data->qfrc_applied[robot.joints[joint].dof] = torques[joint];
        // The collision: a pulse of kCollisionRatio times the joint's torque
        // limit, towards its farther limit.
        const long pushed_for = period - std::lround(kCollisionTime / kPeriod);
        if (options.scenario == Scenario::collision && pushed_for >= 0 &&
            pushed_for < std::lround(kCollisionLength / kPeriod)) {
            const DrivenJoint &joint = robot.joints[pushed];
            const double middle = 0.5 * (joint.limits.min_position + joint.limits.max_position);
            data->qfrc_applied[joint.dof] +=
                (measured[pushed] < middle ? 1.0 : -1.0) * kCollisionRatio * joint.max_torque;
            if (pushed_for == 0) events.add(pushed, "collision");
        }
        const auto step_start = Clock::now();
        mj_step(model.get(), data.get());
        judge.cost(std::chrono::duration<double>(chain_end - chain_start).count(),
                   std::chrono::duration<double>(Clock::now() - step_start).count());

        if (csv) {
            for (size_t joint = 0; joint < joints; ++joint) {
                std::fprintf(csv.get(), "%.3f,%zu,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%u,%s\n", time + kPeriod, joint,
                             request[joint], servo.positions[joint], servo.velocities[joint],
                             data->qpos[robot.joints[joint].qpos], data->qvel[robot.joints[joint].dof], torques[joint],
                             actuator.state(), events.joint[joint].c_str());
            }
        }
    }
    const double wall = std::chrono::duration<double>(Clock::now() - wall_start).count();
    if (csv && (std::fflush(csv.get()) != 0 || std::ferror(csv.get()))) {
        throw std::runtime_error(options.csv + ": write failed");
    }
    std::printf("%s: %s, %zu joints\n", scenario_name(options.scenario), options.model.c_str(), joints);
    std::printf("torque limits:");
    for (const DrivenJoint &joint : robot.joints) {
        std::printf("%s %s %.6g %s (%s)", &joint == robot.joints.data() ? "" : ",", joint.name.c_str(),
                    joint.max_torque, joint.slide ? "N" : "N m", joint.torque_source);
    }
    std::printf("\n");
    const bool pass = judge.report(data.get(), actuator.last_trip(), options.duration, actuator.injected_accepted(),
                                   actuator.accepted_late(), actuator.refused_stale(), controller.refusals(), wall);
    return pass ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    const Options options = parse_options(argc, argv);
    try {
        return run(options);
    } catch (const std::exception &failure) {
        std::fprintf(stderr, "kestrel_sim: %s\n", failure.what());
        return 2;
    }
}
