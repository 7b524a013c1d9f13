// kestrel_sim: the seven-joint arm of arm.xml under MuJoCo, driven at 1 kHz
// through the whole safety chain on a simulated clock. Each period:
//
//   controller's request -> joint limiter -> boundary (signs) -> frame
//     -> link (faults of the scenario) -> guard -> watchdog
//     -> actuator side's joint limiter -> position/velocity servos -> plant
//
//   kestrel_sim [--scenario nominal|runaway|nan|attack|link-loss]
//               [--csv FILE] [--model FILE] [--duration SECONDS]
//
// Prints the speed as simulated time over wall time. Exits 0 after a run in
// which no injected frame reached a servo and the boundary refused nothing
// the scenario did not ask for; 1 otherwise; 2 for bad arguments or a model
// or library call that failed.
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>

#include <mujoco/mujoco.h>

#include "actuator_side.h"
#include "controller_side.h"
#include "datasheet.h"
#include "link.h"
#include "period_events.h"
#include "scenario.h"
#include "simulated_clock.h"

namespace {

using namespace kestrel_sim;

constexpr uint64_t kPeriodNs = 1'000'000;                 // 1 kHz
constexpr uint64_t kStartNs = 1'767'225'600'000'000'000;  // the simulated clock starts at 2026-01-01

struct Options {
    Scenario scenario = Scenario::nominal;
    std::string csv;
    std::string model = KESTREL_SIM_MODEL;
    double duration = 10.0;
};

[[noreturn]] void usage(const std::string &complaint) {
    std::fprintf(stderr,
                 "kestrel_sim: %s\n"
                 "usage: kestrel_sim [--scenario nominal|runaway|nan|attack|link-loss] [--csv FILE]\n"
                 "                   [--model FILE] [--duration SECONDS]\n",
                 complaint.c_str());
    std::exit(2);
}

Options parse(int argc, char **argv) {
    Options options;
    for (int index = 1; index < argc; ++index) {
        const std::string_view flag = argv[index];
        if (index + 1 >= argc) usage("missing value after " + std::string(flag));
        const char *value = argv[++index];
        if (flag == "--scenario") {
            const auto scenario = parse_scenario(value);
            if (!scenario) usage(std::string("unknown scenario '") + value + "'");
            options.scenario = *scenario;
        } else if (flag == "--csv") {
            options.csv = value;
        } else if (flag == "--model") {
            options.model = value;
        } else if (flag == "--duration") {
            char *end = nullptr;
            options.duration = std::strtod(value, &end);
            if (*end != '\0' || !(options.duration > 0.0 && options.duration <= 3600.0)) {
                usage(std::string("--duration wants seconds in (0, 3600], not '") + value + "'");
            }
        } else {
            usage("unknown option " + std::string(flag));
        }
    }
    return options;
}

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};

int run(const Options &options) {
    char error[1000] = "";
    std::unique_ptr<mjModel, decltype(&mj_deleteModel)> model(
        mj_loadXML(options.model.c_str(), nullptr, error, sizeof error), mj_deleteModel);
    if (!model) throw std::runtime_error(options.model + ": " + error);
    if (std::abs(model->opt.timestep * 1e9 - kPeriodNs) > 1e-3) {
        throw std::runtime_error(options.model + ": the timestep must be the control period, 0.001 s");
    }
    const Datasheet sheet = read_datasheet(model.get());
    std::unique_ptr<mjData, decltype(&mj_deleteData)> data(mj_makeData(model.get()), mj_deleteData);
    mju_copy(data->qpos, sheet.home.data(), kJoints);
    mj_forward(model.get(), data.get());

    std::unique_ptr<std::FILE, FileCloser> csv;
    if (!options.csv.empty()) {
        csv.reset(std::fopen(options.csv.c_str(), "w"));
        if (!csv) throw std::runtime_error(options.csv + ": cannot be written");
        std::fputs("time_s,joint,measured_position,measured_velocity,commanded_velocity,event\n", csv.get());
    }

    // A fresh key per run, shared by the two sides as a provisioned link key would be.
    std::array<uint8_t, 32> key;
    std::random_device entropy;
    for (uint8_t &byte : key) byte = static_cast<uint8_t>(entropy());

    SimulatedClock clock{kStartNs};
    ControllerSide controller(sheet, key.data(), clock);
    Link link(options.scenario);
    ActuatorSide actuator(sheet, key.data(), clock);
    std::vector<LinkFrame> sent;
    sent.reserve(kJoints);
    PeriodEvents events;
    ServoCommands servo{};
    std::array<double, kJoints> measured{};

    const long periods = std::lround(options.duration * 1e9 / kPeriodNs);
    const auto wall_start = std::chrono::steady_clock::now();
    const std::clock_t cpu_start = std::clock();
    for (long period = 0; period < periods; ++period) {
        clock.now_ns = kStartNs + static_cast<uint64_t>(period) * kPeriodNs;
        const double time = data->time;
        mju_copy(measured.data(), data->qpos, kJoints);
        events.clear();

        controller.command(controller_request(options.scenario, sheet, time, measured), sent, events);
        actuator.receive(link.carry(time, sent), servo, events);

        for (int joint = 0; joint < kJoints; ++joint) {
            data->ctrl[joint] = servo.positions[joint];
            data->ctrl[kJoints + joint] = servo.velocities[joint];
        }
        // The drives' feedforward, from the model at the last measured state:
        // the commanded acceleration through the inertia, gravity and
        // Coriolis forces, and the joints' friction at the commanded velocity,
        // so that the servos' gains answer only the tracking error.
        mj_mulM(model.get(), data.get(), data->qfrc_applied, servo.accelerations.data());
        for (int joint = 0; joint < kJoints; ++joint) {
            data->qfrc_applied[joint] += data->qfrc_bias[joint] + model->dof_damping[joint] * servo.velocities[joint];
        }
        mj_step(model.get(), data.get());

        if (csv) {
            for (int joint = 0; joint < kJoints; ++joint) {
                std::fprintf(csv.get(), "%.3f,%d,%.9g,%.9g,%.9g,%s\n", data->time, joint, data->qpos[joint],
                             data->qvel[joint], servo.velocities[joint], events.joint[joint].c_str());
            }
        }
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    const double cpu = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
    if (csv && (std::fflush(csv.get()) != 0 || std::ferror(csv.get()))) {
        throw std::runtime_error(options.csv + ": write failed");
    }

    // Wall time as MuJoCo's own samples report it; the processor time beside
    // it tells a slow run from a busy machine.
    std::printf("%s: %.3f s simulated in %.3f s of wall time (%.1f x real time), %.3f s of processor time\n",
                scenario_name(options.scenario), data->time, wall, data->time / wall, cpu);
    std::printf("boundary refusals: %llu, injected frames accepted: %llu\n",
                static_cast<unsigned long long>(controller.refusals()),
                static_cast<unsigned long long>(actuator.injected_accepted()));
    // Every scenario stays within what the boundary admits: the limiter in
    // front of it keeps velocities in range and one period signs one frame
    // per joint.
    return controller.refusals() == 0 && actuator.injected_accepted() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    const Options options = parse(argc, argv);
    try {
        return run(options);
    } catch (const std::exception &failure) {
        std::fprintf(stderr, "kestrel_sim: %s\n", failure.what());
        return 2;
    }
}
