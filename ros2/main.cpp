// kestrel_ros2: Kestrel between a ROS 2 controller and the drives, as a plain
// DDS program (Cyclone DDS) that speaks ROS 2's topics, types and QoS. One
// loop at the control rate runs the controller role, the actuator role or
// both (bridge_options.cpp has the command line; controller_role.hpp and
// actuator_role.hpp what each does). On SIGINT or SIGTERM it prints each
// role's counts, one line each, and exits 0; it exits 2 for bad arguments, an
// unusable key file or robot description, and 1 for a fault while running.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <optional>

#include "actuator_role.hpp"
#include "bridge_options.hpp"
#include "controller_role.hpp"
#include "dds_io.hpp"
#include "frame_link.hpp"
#include "kestrel_key.h"
#include "kestrel_ros2_plant.h"
#include "ros2_messages.h"

namespace {

using namespace kestrel_ros2;

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

uint64_t monotonic_ns() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
}

void sleep_until(uint64_t deadline_ns) {
    const timespec at{static_cast<time_t>(deadline_ns / 1'000'000'000u), static_cast<long>(deadline_ns % 1'000'000'000u)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR && !stop_requested) {
    }
}

// The key of --key-file, by the library's key-file rule; exits 2 when it fails.
struct Key {
    uint8_t bytes[KESTREL_KEY_LEN];
    ~Key() { std::memset(bytes, 0, sizeof bytes); }
};

void publish_status(dds_entity_t writer, const std::string &line) {
    std_msgs_msg_dds__String_ status{const_cast<char *>(line.c_str())};
    (void)dds_write(writer, &status);
}

int run(const Options &options) {
    Key key;
    char problem[512];
    if (kestrel_key_file_read(options.key_file.c_str(), key.bytes, problem, sizeof problem) != KESTREL_OK) {
        std::fprintf(stderr, "kestrel_ros2: %s\n", problem);
        return 2;
    }
    std::vector<Joint> joints;
    try {
        joints = load_joints(options);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "kestrel_ros2: %s\n", error.what());
        return 2;
    }
    const bool controls = options.role != Role::actuator, actuates = options.role != Role::controller;

    Participant participant;
    const dds_entity_t status_writer =
        participant.writer(std_msgs_msg_dds__String__desc, ros_topic(options.status_topic), Qos::ros_default);
    std::unique_ptr<FrameLink> link = open_frame_link(options.link, participant, controls, actuates);
    const std::vector<double> start = start_positions(joints);
    std::unique_ptr<KestrelRos2Plant, void (*)(KestrelRos2Plant *)> plant(
        kestrel_ros2_loopback_plant_new(static_cast<uint32_t>(joints.size()), start.data()),
        kestrel_ros2_loopback_plant_free);
    if (!plant) throw std::bad_alloc();
    std::optional<ControllerRole> controller;
    std::optional<ActuatorRole> actuator;
    if (controls) controller.emplace(options, joints, key.bytes, participant, *link);
    if (actuates) actuator.emplace(options, joints, key.bytes, participant, *link, *plant);
    std::memset(key.bytes, 0, sizeof key.bytes);  // the boundary and the guard hold their own copies

    // Ten status messages a second, and one at the end.
    const uint64_t period_ns = static_cast<uint64_t>(1e9 / options.rate);
    const uint64_t status_every = std::max<uint64_t>(1, static_cast<uint64_t>(options.rate / 10));
    uint64_t late_periods = 0;
    auto publish_all = [&] {
        if (controller) publish_status(status_writer, controller->counts().line());
        if (actuator) publish_status(status_writer, actuator->counts().line());
        if (actuator && !actuator->monitor_line().empty()) publish_status(status_writer, actuator->monitor_line());
    };
    uint64_t next = monotonic_ns();
    for (uint64_t period = 1; !stop_requested; ++period) {
        if (controller) controller->step();
        if (actuator) actuator->step();
        if (period % status_every == 0) publish_all();
        next += period_ns;
        const uint64_t now = monotonic_ns();
        if (now > next + period_ns) {  // more than a period behind: start again from now, without a burst
            ++late_periods;
            next = now;
        }
        sleep_until(next);
    }
    publish_all();
    if (controller) std::printf("%s\n", controller->counts().line().c_str());
    if (actuator) std::printf("%s\n", actuator->counts().line().c_str());
    if (actuator && !actuator->monitor_line().empty()) std::printf("%s\n", actuator->monitor_line().c_str());
    std::printf("loop late_periods=%llu\n", static_cast<unsigned long long>(late_periods));
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const Options options = parse_options(argc, argv);
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    try {
        return run(options);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "kestrel_ros2: %s\n", error.what());
        return 1;
    }
}
