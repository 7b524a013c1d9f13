// kestrel_ros2_probe: the ROS 2 side that a test or a measurement plays
// against kestrel_ros2, written against the same IDL. It publishes
// std_msgs/Float64MultiArray commands at the control rate, records every
// sensor_msgs/JointState and the last status line of each role, and prints
// what it saw as lines a script reads:
//
//   kestrel_ros2_probe --joints N --script check|latency [--seconds S]
//                      [--max-velocity V] [--replays K] [--rate HZ] [--trajectory A,B,C]
//                      [--commands TOPIC] [--state-topic TOPIC] [--status-topic TOPIC]
//
// check: 0.5 s of a ramp to 0.9 of V (joints alternate in sign), 0.5 s of
//   requests of 10 V, 0.5 s of the ramp's end in which every tenth command has
//   a NaN and every tenth, five later, one value too many, then a second of
//   silence, in which K frames copied off the frame topic earlier are
//   published again, 0.1 s apart from 0.3 s on.
// With --trajectory the commands are trajectory_msgs/JointTrajectory points
//   (velocities) for the joints named, sent in the reverse order of the names,
//   and the command with one value too many names a joint "nowhere" instead.
// latency: for S seconds, command k asks every joint for k * 1e-6 rad/s, so
//   that the velocity of a state names the command it shows; prints the
//   command-to-state latency (median, 99th percentile) over the commands shown.
//
// Lines: "state PHASE T POSITIONS... VELOCITIES..." per JointState (T in s
// since the first command); "status LINE" per role; "sent NAME=COUNT ..."
// last. Exit 3 when kestrel_ros2 is not found within 10 s. The commands'
// writer keeps the last 1000 (a ROS 2 publisher keeps 10), so that a stalled
// kestrel_ros2 on a busy machine still gets every command the counts expect.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "command_frames.h"
#include "dds_io.hpp"
#include "frame_link.hpp"
#include "ros2_messages.h"

namespace {

using namespace kestrel_ros2;

struct ProbeOptions {
    uint32_t joints = 7;
    std::string script = "check";
    double seconds = 5.0;
    double max_velocity = 1.0;
    int replays = 0;
    double rate = 1000.0;
    std::string commands = "/forward_velocity_controller/commands";
    std::string state_topic = "/joint_states";
    std::string status_topic = "/kestrel/status";
    std::vector<std::string> trajectory;  // joint names: send JointTrajectory
};

constexpr double kLatencyStep = 1e-6;  // rad/s per command in the latency script

double now_s() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

void sleep_until(double at) {
    const timespec deadline{static_cast<time_t>(at), static_cast<long>((at - std::floor(at)) * 1e9)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) != 0) {
    }
}

ProbeOptions parse(int argc, char **argv) {
    ProbeOptions options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view name(argv[i]);
        const char *value = argv[i + 1];
        if (name == "--joints") options.joints = static_cast<uint32_t>(std::atoi(value));
        else if (name == "--script") options.script = value;
        else if (name == "--seconds") options.seconds = std::atof(value);
        else if (name == "--max-velocity") options.max_velocity = std::atof(value);
        else if (name == "--replays") options.replays = std::atoi(value);
        else if (name == "--rate") options.rate = std::atof(value);
        else if (name == "--commands") options.commands = value;
        else if (name == "--state-topic") options.state_topic = value;
        else if (name == "--status-topic") options.status_topic = value;
        else if (name == "--trajectory") {
            for (std::string_view rest(value);;) {
                options.trajectory.emplace_back(rest.substr(0, rest.find(',')));
                if (rest.find(',') == std::string_view::npos) break;
                rest.remove_prefix(rest.find(',') + 1);
            }
        }
        else {
            std::fprintf(stderr, "kestrel_ros2_probe: unknown option %s\n", argv[i]);
            std::exit(2);
        }
    }
    if (argc % 2 == 0 || options.joints < 1 || options.joints > 32 || options.rate <= 0 ||
        (options.script != "check" && options.script != "latency")) {
        std::fprintf(stderr, "kestrel_ros2_probe: bad arguments (see the comment at the top of probe.cpp)\n");
        std::exit(2);
    }
    return options;
}

class Probe {
public:
    explicit Probe(const ProbeOptions &options) : options_(options) {
        commands_ = participant_.writer(options.trajectory.empty() ? std_msgs_msg_dds__Float64MultiArray__desc
                                                                   : trajectory_msgs_msg_dds__JointTrajectory__desc,
                                        ros_topic(options.commands), Qos::ros_backlog);
        states_ = participant_.reader(sensor_msgs_msg_dds__JointState__desc, ros_topic(options.state_topic),
                                      Qos::ros_backlog);
        status_ = participant_.reader(std_msgs_msg_dds__String__desc, ros_topic(options.status_topic),
                                      Qos::ros_default);
        if (options.replays > 0) {
            const std::string topic = kFrameTopic;
            frames_in_ = participant_.reader(kestrel_msg_dds__CommandFrame__desc, topic, Qos::frames_per_joint);
            frames_out_ = participant_.writer(kestrel_msg_dds__CommandFrame__desc, topic, Qos::frames_per_joint);
        }
    }

    // Waits until kestrel_ros2 reads the commands and writes the states.
    bool wait_for_peer() {
        const double give_up = now_s() + 10.0;
        while (now_s() < give_up) {
            dds_publication_matched_status_t published;
            dds_subscription_matched_status_t subscribed;
            if (dds_get_publication_matched_status(commands_, &published) == DDS_RETCODE_OK &&
                dds_get_subscription_matched_status(states_, &subscribed) == DDS_RETCODE_OK &&
                published.current_count > 0 && subscribed.current_count > 0) {
                return true;
            }
            sleep_until(now_s() + 0.01);
        }
        return false;
    }

    void publish(std::vector<double> values, const char *kind) {
        dds_return_t written;
        if (options_.trajectory.empty()) {
            std_msgs_msg_dds__Float64MultiArray_ message{};
            message.data = {static_cast<uint32_t>(values.size()), static_cast<uint32_t>(values.size()),
                            values.data(), false};
            written = dds_write(commands_, &message);
        } else {
            // Names and values in reverse order; a value too many becomes a joint of another name.
            std::vector<const char *> names;
            for (auto name = options_.trajectory.rbegin(); name != options_.trajectory.rend(); ++name) {
                names.push_back(name->c_str());
            }
            if (values.size() > names.size()) {
                values.pop_back();
                names.front() = "nowhere";
                kind = "unknown_joint";
            }
            std::reverse(values.begin(), values.end());
            const uint32_t n = static_cast<uint32_t>(values.size());
            trajectory_msgs_msg_dds__JointTrajectoryPoint_ point{};
            point.velocities = {n, n, values.data(), false};
            trajectory_msgs_msg_dds__JointTrajectory_ message{};
            message.header.frame_id = const_cast<char *>("");
            message.joint_names = {n, n, const_cast<char **>(names.data()), false};
            message.points = {1, 1, &point, false};
            written = dds_write(commands_, &message);
        }
        if (written == DDS_RETCODE_OK) {
            ++sent_[kind];
            ++sent_["total"];
        } else {
            ++sent_["write_failures"];
        }
    }

    // Takes the states and status lines that arrived; prints them.
    void drain(const char *phase) {
        take_all(states_, [&](const void *sample) {
            record_state(*static_cast<const sensor_msgs_msg_dds__JointState_ *>(sample), phase);
        });
        take_all(status_, [&](const void *sample) {
            const std::string line = static_cast<const std_msgs_msg_dds__String_ *>(sample)->data;
            status_lines_[line.substr(0, line.find(' '))] = line;
        });
        if (frames_in_) {
            take_all(frames_in_, [&](const void *sample) {
                captured_ = *static_cast<const kestrel_msg_dds__CommandFrame_ *>(sample);
            });
        }
    }

    // Calls use(sample) for each valid sample waiting on reader. Each reader
    // gets its own loan array: a loan buffer handed back is reused only by
    // the reader it came from.
    template <typename Use>
    static void take_all(dds_entity_t reader, Use use) {
        void *samples[64] = {};
        dds_sample_info_t infos[64];
        dds_return_t taken;
        while ((taken = dds_take(reader, samples, infos, 64, 64)) > 0) {
            for (dds_return_t i = 0; i < taken; ++i) {
                if (infos[i].valid_data) use(samples[i]);
            }
            (void)dds_return_loan(reader, samples, taken);
        }
    }

    // Publishes a frame copied off the frame topic again; false if none was seen.
    bool replay() {
        if (!captured_) return false;
        if (dds_write(frames_out_, &*captured_) == DDS_RETCODE_OK) ++sent_["replays"];
        return true;
    }

    int check() {
        const double period = 1.0 / options_.rate, v = options_.max_velocity;
        const double start = now_s();
        uint64_t index = 0;
        auto joint_sign = [](uint32_t j) { return j % 2 ? -1.0 : 1.0; };
        for (double t = 0; t < 1.5; t = static_cast<double>(++index) * period) {
            std::vector<double> values(options_.joints);
            const char *phase = t < 0.5 ? "ramp" : t < 1.0 ? "over" : "faults";
            for (uint32_t j = 0; j < options_.joints; ++j) {
                values[j] = joint_sign(j) * (t < 0.5 ? 0.9 * v * t / 0.5 : t < 1.0 ? 10 * v : 0.5 * v);
            }
            const char *kind = phase;
            if (t >= 1.0 && index % 10 == 0) {
                values[index % options_.joints] = NAN;
                kind = "nan";
            } else if (t >= 1.0 && index % 10 == 5) {
                values.push_back(0.0);
                kind = "wrong_length";
            }
            publish(values, kind);
            drain(phase);
            sleep_until(start + static_cast<double>(index + 1) * period);
        }
        // Silence: the watchdog stops the joints; replays must not move them.
        const double quiet = now_s();
        int replayed = 0;
        while (now_s() < quiet + 1.0) {
            if (replayed < options_.replays && now_s() >= quiet + 0.3 + 0.1 * replayed) {
                if (!replay()) return 1;
                ++replayed;
            }
            drain("silence");
            sleep_until(now_s() + 0.002);
        }
        drain("silence");
        return 0;
    }

    int latency() {
        const double period = 1.0 / options_.rate, start = now_s();
        const uint64_t count = static_cast<uint64_t>(options_.seconds * options_.rate);
        sent_at_.assign(count + 1, 0.0);
        for (uint64_t k = 1; k <= count; ++k) {
            sent_at_[k] = now_s();
            publish(std::vector<double>(options_.joints, static_cast<double>(k) * kLatencyStep), "ramp");
            drain("latency");
            sleep_until(start + static_cast<double>(k) * period);
        }
        const double end = now_s() + 0.2;
        while (now_s() < end) {
            drain("latency");
            sleep_until(now_s() + 0.001);
        }
        std::sort(latencies_.begin(), latencies_.end());
        const auto quantile = [&](double q) {
            return latencies_.empty() ? NAN : latencies_[static_cast<size_t>(q * (latencies_.size() - 1))] * 1e3;
        };
        std::printf("latency shown=%zu median_ms=%.3f p99_ms=%.3f max_ms=%.3f\n", latencies_.size(), quantile(0.5),
                    quantile(0.99), quantile(1.0));
        return 0;
    }

    int run() {
        if (!wait_for_peer()) {
            std::fprintf(stderr, "kestrel_ros2_probe: no kestrel_ros2 on the topics within 10 s\n");
            return 3;
        }
        first_ = now_s();
        const int status = options_.script == "check" ? check() : latency();
        for (const auto &[role, line] : status_lines_) std::printf("status %s\n", line.c_str());
        std::printf("sent");
        for (const auto &[name, count] : sent_) std::printf(" %s=%llu", name.c_str(), static_cast<unsigned long long>(count));
        std::printf(" states=%llu\n", static_cast<unsigned long long>(states_seen_));
        return status;
    }

private:
    void record_state(const sensor_msgs_msg_dds__JointState_ &state, const char *phase) {
        ++states_seen_;
        const double t = now_s();
        if (options_.script == "latency") {
            if (state.velocity._length == 0) return;
            const long k = std::lround(state.velocity._buffer[0] / kLatencyStep);
            if (k > last_shown_ && static_cast<size_t>(k) < sent_at_.size() && sent_at_[k] > 0) {
                latencies_.push_back(t - sent_at_[k]);
                last_shown_ = k;
            }
            return;
        }
        std::printf("state %s %.6f", phase, t - first_);
        for (uint32_t j = 0; j < state.position._length; ++j) std::printf(" %.17g", state.position._buffer[j]);
        for (uint32_t j = 0; j < state.velocity._length; ++j) std::printf(" %.17g", state.velocity._buffer[j]);
        std::printf("\n");
    }

    ProbeOptions options_;
    Participant participant_;
    dds_entity_t commands_ = 0, states_ = 0, status_ = 0, frames_in_ = 0, frames_out_ = 0;
    std::map<std::string, uint64_t> sent_;
    std::map<std::string, std::string> status_lines_;
    std::optional<kestrel_msg_dds__CommandFrame_> captured_;
    uint64_t states_seen_ = 0;
    double first_ = 0;
    std::vector<double> sent_at_, latencies_;
    long last_shown_ = 0;
};

}  // namespace

int main(int argc, char **argv) {
    const ProbeOptions options = parse(argc, argv);
    try {
        Probe probe(options);
        return probe.run();
    } catch (const std::exception &error) {
        std::fprintf(stderr, "kestrel_ros2_probe: %s\n", error.what());
        return 1;
    }
}
