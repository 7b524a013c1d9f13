#include "bridge_options.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string_view>

#include "frame_link.hpp"
#include "kestrel_description.h"
#include "kestrel_monitor.h"

namespace kestrel_ros2 {
namespace {

const char kUsage[] =
    "usage: kestrel_ros2 --role controller|actuator|both --key-file FILE\n"
    "                    (--joints A,B,C | --urdf FILE [--yaml FILE] [--joints A,B,C])\n"
    "                    [--commands TOPIC | --trajectory TOPIC] [--state-topic TOPIC]\n"
    "                    [--status-topic TOPIC] [--rate HZ] [--link dds|udp:HOST:PORT]\n"
    "                    [--plant loopback] [--max-age S] [--watchdog S] [--sequence-file FILE]\n"
    "                    [--max-velocity V] [--max-acceleration A] [--max-jerk J]\n"
    "                    [--no-monitor] [--position-tolerance P] [--velocity-tolerance F] [--stop ss1|ss2]\n";

const char kHelp[] =
    "\n"
    "Kestrel between a ROS 2 controller and the drives, over DDS (Cyclone DDS).\n"
    "The controller role reads the command topic, limits each joint with a\n"
    "joint limiter and signs each joint's command with a boundary; the actuator\n"
    "role checks every signed frame with a replay guard, feeds a watchdog, drives\n"
    "the plant and publishes sensor_msgs/JointState. Runs until SIGINT or SIGTERM,\n"
    "then prints its counts and exits 0.\n"
    "\n"
    "  --role ROLE           controller, actuator or both (one process; default both)\n"
    "  --key-file FILE       the link's 32-byte key, mode 0600 (python3 -m kestrel keygen FILE)\n"
    "  --joints A,B,C        the joints, in the order of the command's values\n"
    "  --urdf, --yaml FILE   the robot's URDF and joint_limits.yaml, for the joints and limits\n"
    "  --commands TOPIC      std_msgs/Float64MultiArray, one velocity per joint\n"
    "                        (default /forward_velocity_controller/commands)\n"
    "  --trajectory TOPIC    trajectory_msgs/JointTrajectory instead; its first point is taken now\n"
    "  --state-topic TOPIC   sensor_msgs/JointState out (default /joint_states)\n"
    "  --status-topic TOPIC  std_msgs/String with the counts (default /kestrel/status)\n"
    "  --rate HZ             the control rate (default 1000)\n"
    "  --link LINK           dds (default), or udp:HOST:PORT for the signed frames\n"
    "  --plant loopback      an integrator of the accepted commands (default)\n"
    "  --max-age S           the oldest receipt the actuator accepts (default 0.05)\n"
    "  --watchdog S          stop after S without an accepted frame (default 0.02)\n"
    "  --sequence-file FILE  keep the last accepted sequence id across restarts\n"
    "  --max-velocity V      with --joints alone: rad/s (default 4.18)\n"
    "  --max-acceleration A  with --joints alone: rad/s^2 (default 20)\n"
    "  --max-jerk J          with --joints alone: rad/s^3 (default 10000)\n"
    "  --no-monitor          do not run the actuator's monitor of the plant's measured motion\n"
    "                        (on by default: SLS, SLP and the watchdog's stop, then SS1 or SS2;\n"
    "                        its stop latches until the actuator role is restarted)\n"
    "  --position-tolerance P  rad or m beyond a position limit before SLP trips (default 0)\n"
    "  --velocity-tolerance F  fraction of max_velocity above it before SLS trips (default 0)\n"
    "  --stop ss1|ss2        a trip's stop: ss1 brakes, then cuts the torque (default);\n"
    "                        ss2 brakes, then holds position\n"
    "Environment: ROS_DOMAIN_ID (default 0), CYCLONEDDS_URI (Cyclone's configuration).\n";

[[noreturn]] void usage(const std::string &complaint) {
    std::fprintf(stderr, "kestrel_ros2: %s\n%s", complaint.c_str(), kUsage);
    std::exit(2);
}

double positive_number(std::string_view option, const char *text) {
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(value) || value <= 0) {
        usage(std::string(option) + ": '" + text + "' is not a number > 0");
    }
    return value;
}

double non_negative_number(std::string_view option, const char *text) {
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(value) || value < 0) {
        usage(std::string(option) + ": '" + text + "' is not a number >= 0");
    }
    return value;
}

std::vector<std::string> split_names(const char *text) {
    std::vector<std::string> names;
    std::string_view rest(text);
    while (true) {
        const size_t comma = rest.find(',');
        names.emplace_back(rest.substr(0, comma));
        if (names.back().empty()) usage(std::string("--joints: an empty joint name in '") + text + "'");
        if (comma == std::string_view::npos) return names;
        rest.remove_prefix(comma + 1);
    }
}

}  // namespace

Options parse_options(int argc, char **argv) {
    Options options;
    bool role_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view option(argv[i]);
        if (option == "--help" || option == "-h") {
            std::printf("%s%s", kUsage, kHelp);
            std::exit(0);
        }
        if (option == "--no-monitor") {
            options.monitor = false;
            continue;
        }
        if (i + 1 >= argc) usage(std::string(option) + " needs a value");
        const char *value = argv[++i];
        if (option == "--role") {
            const std::string_view role(value);
            options.role = role == "controller" ? Role::controller
                           : role == "actuator" ? Role::actuator
                           : role == "both"     ? Role::both
                                                : (usage(std::string("--role: '") + value + "' is not controller, "
                                                                                             "actuator or both"),
                                                   Role::both);
            role_given = true;
        } else if (option == "--key-file") {
            options.key_file = value;
        } else if (option == "--joints") {
            options.joints = split_names(value);
        } else if (option == "--urdf") {
            options.urdf = value;
        } else if (option == "--yaml") {
            options.yaml = value;
        } else if (option == "--commands") {
            options.commands = value;
        } else if (option == "--trajectory") {
            options.trajectory = value;
        } else if (option == "--state-topic") {
            options.state_topic = value;
        } else if (option == "--status-topic") {
            options.status_topic = value;
        } else if (option == "--rate") {
            options.rate = positive_number(option, value);
        } else if (option == "--link") {
            options.link = value;
        } else if (option == "--plant") {
            options.plant = value;
            if (options.plant != "loopback") usage(std::string("--plant: '") + value + "' is not loopback");
        } else if (option == "--max-age") {
            options.max_age = positive_number(option, value);
        } else if (option == "--watchdog") {
            options.watchdog = positive_number(option, value);
        } else if (option == "--sequence-file") {
            options.sequence_file = value;
        } else if (option == "--max-velocity") {
            options.max_velocity = positive_number(option, value);
        } else if (option == "--max-acceleration") {
            options.max_acceleration = positive_number(option, value);
        } else if (option == "--max-jerk") {
            options.max_jerk = positive_number(option, value);
        } else if (option == "--position-tolerance") {
            options.position_tolerance = non_negative_number(option, value);
        } else if (option == "--velocity-tolerance") {
            options.velocity_tolerance = non_negative_number(option, value);
        } else if (option == "--stop") {
            options.stop = value;
            if (options.stop != "ss1" && options.stop != "ss2") {
                usage(std::string("--stop: '") + value + "' is not ss1 or ss2");
            }
        } else {
            usage("unknown option " + std::string(option));
        }
    }
    if (!role_given) usage("--role is required");
    if (options.key_file.empty()) usage("--key-file is required");
    if (options.joints.empty() && options.urdf.empty() && options.yaml.empty()) {
        usage("give the joints: --joints, or --urdf (and --yaml)");
    }
    if (options.rate > 10000) usage("--rate: at most 10000 Hz");
    try {
        check_link_spec(options.link);
    } catch (const std::runtime_error &error) {
        usage(error.what());
    }
    return options;
}

std::vector<Joint> load_joints(const Options &options) {
    std::vector<Joint> joints;
    if (options.urdf.empty() && options.yaml.empty()) {
        for (const std::string &name : options.joints) {
            joints.push_back({name, {-INFINITY, INFINITY, options.max_velocity, options.max_acceleration,
                                     options.max_jerk}});
        }
    } else {
        std::vector<const char *> names;
        for (const std::string &name : options.joints) names.push_back(name.c_str());
        const KestrelDescriptionRequest request{options.urdf.empty() ? nullptr : options.urdf.c_str(),
                                                options.yaml.empty() ? nullptr : options.yaml.c_str(),
                                                names.empty() ? nullptr : names.data(), names.size(), 0};
        KestrelDescription *loaded = nullptr;
        char message[KESTREL_DESCRIPTION_MESSAGE_SIZE];
        if (kestrel_description_load(&request, &loaded, message, sizeof message, nullptr) != KESTREL_OK) {
            throw std::runtime_error(message);
        }
        std::unique_ptr<KestrelDescription, void (*)(KestrelDescription *)> description(loaded,
                                                                                        kestrel_description_free);
        for (size_t i = 0; i < kestrel_description_joint_count(loaded); ++i) {
            KestrelDescribedJoint joint;
            if (kestrel_description_joint(loaded, i, &joint) != KESTREL_OK) throw std::runtime_error("joint");
            joints.push_back({joint.name, joint.limits});
        }
    }
    if (joints.size() > KESTREL_JOINT_LIMITER_MAX_JOINTS) {
        throw std::runtime_error("at most " + std::to_string(KESTREL_JOINT_LIMITER_MAX_JOINTS) + " joints");
    }
    for (size_t i = 0; i < joints.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (joints[i].name == joints[j].name) throw std::runtime_error("joint '" + joints[i].name + "' twice");
        }
    }
    std::vector<KestrelJointLimits> limits;
    for (const Joint &joint : joints) limits.push_back(joint.limits);
    KestrelJointFault fault;
    const double period = 1.0 / options.rate;
    const KestrelError refused = kestrel_joint_limiter_check(static_cast<uint32_t>(limits.size()), limits.data(),
                                                             period, nullptr, nullptr, &fault);
    if (refused != KESTREL_OK) {
        throw std::runtime_error(fault.message ? "joint '" + joints[fault.joint].name + "': " + fault.message
                                               : std::string(kestrel_error_message(refused)));
    }
    // The actuator's monitor needs a finite velocity and acceleration limit
    // of every joint; it never runs with a joint it cannot judge.
    if (options.monitor && options.role != Role::controller &&
        kestrel_monitor_check_limits(static_cast<uint32_t>(limits.size()), limits.data(), &fault) != KESTREL_OK) {
        throw std::runtime_error("joint '" + joints[fault.joint].name + "': " +
                                 (fault.message ? fault.message : "limits the monitor cannot judge") +
                                 " (choose the joints with --joints, or run without the monitor: --no-monitor)");
    }
    return joints;
}

std::vector<double> start_positions(const std::vector<Joint> &joints) {
    std::vector<double> positions;
    for (const Joint &joint : joints) {
        positions.push_back(std::fmin(std::fmax(0.0, joint.limits.min_position), joint.limits.max_position));
    }
    return positions;
}

}  // namespace kestrel_ros2
