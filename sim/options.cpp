#include "options.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace kestrel_sim {
namespace {

constexpr const char *kUsage =
    "usage: kestrel_sim [--scenario NAME] [--model FILE.xml] [--urdf FILE] [--yaml FILE] [--joints A,B,...]\n"
    "                   [--allow-joint-stops] [--max-torque T[,T...]] [--drive-model FILE.xml]\n"
    "                   [--link-delay S] [--link-jitter S] [--link-drop F] [--seed N] [--duration S]\n"
    "                   [--csv FILE] [--help]\n";

constexpr const char *kHelp =
    "Drives a robot under MuJoCo through Kestrel's safety chain at 1 kHz on a simulated clock\n"
    "(controller's limiter -> boundary -> link -> guard, watchdog, monitor -> limiter -> drive -> plant)\n"
    "and judges the run. Prints one verdict line per check; exits 0 when every check passed,\n"
    "1 when one failed, 2 for bad arguments or a model or file it cannot use.\n"
    "\n"
    "  --scenario NAME      nominal (default), runaway, nan, attack, link-loss, model-error,\n"
    "                       latency, collision, slow-stop\n"
    "  --model FILE.xml     the plant, any model MuJoCo loads (default: the shipped arm.xml)\n"
    "  --urdf FILE          limits from the robot's URDF (position, velocity; effort: torque)\n"
    "  --yaml FILE          limits from its joint_limits.yaml (acceleration, jerk, and overrides);\n"
    "                       without either file, the model's joint ranges and <custom> numerics\n"
    "  --joints A,B,...     the joints to drive, by name and in this order (default: every hinge\n"
    "                       and slide joint; the others move as the model lets them); the start\n"
    "                       pose is the keyframe 'home', else qpos0\n"
    "  --allow-joint-stops  accept driven joints that are limited in the plant\n"
    "  --max-torque T[,T...]\n"
    "                       the drives' torque limits (N m, or N on a slide joint): one for every\n"
    "                       joint, or one per driven joint in their order; it wins over the rest.\n"
    "                       Without it a joint's limit is the URDF's effort (with --urdf, where\n"
    "                       the URDF gives one), else the force range of its actuator in the model\n"
    "  --drive-model FILE   the drive's model for its feed-forward (default: the plant's file)\n"
    "  --link-delay S       the link's delay (s), --link-jitter S a further random delay up to S,\n"
    "  --link-drop F        and the fraction of frames it loses; random but repeatable: --seed N\n"
    "  --duration S         simulated seconds (default 10)\n"
    "  --csv FILE           one row per period and joint; the joints' limits go to FILE.joints.csv\n";

[[noreturn]] void usage(const std::string &complaint) {
    std::fprintf(stderr, "kestrel_sim: %s\n%s", complaint.c_str(), kUsage);
    std::exit(2);
}

double number(std::string_view flag, const char *value, double low, double high) {
    char *end = nullptr;
    const double parsed = std::strtod(value, &end);
    if (end == value || *end != '\0' || !(parsed >= low && parsed <= high)) {
        usage(std::string(flag) + " wants a number in [" + std::to_string(low) + ", " + std::to_string(high) +
              "], not '" + value + "'");
    }
    return parsed;
}

// The entries of a comma list, none of them empty.
std::vector<std::string> entries(std::string_view flag, const char *value) {
    std::vector<std::string> split;
    std::string_view rest = value;
    while (true) {
        const size_t comma = rest.find(',');
        split.emplace_back(rest.substr(0, comma));
        if (split.back().empty()) usage(std::string(flag) + ": an empty entry in '" + value + "'");
        if (comma == std::string_view::npos) return split;
        rest.remove_prefix(comma + 1);
    }
}

}  // namespace

Options parse_options(int argc, char **argv) {
    Options options;
    options.model = KESTREL_SIM_MODEL;
    for (int index = 1; index < argc; ++index) {
        const std::string_view flag = argv[index];
        if (flag == "--help" || flag == "-h") {
            std::printf("%s\n%s", kUsage, kHelp);
            std::exit(0);
        }
        if (flag == "--allow-joint-stops") {
            options.robot.allow_joint_stops = true;
            continue;
        }
        constexpr std::string_view valued[] = {
            "--scenario",   "--csv",        "--model",       "--drive-model", "--urdf", "--yaml",     "--joints",
            "--max-torque", "--link-delay", "--link-jitter", "--link-drop",   "--seed", "--duration", "--switch-off"};
        if (std::find(std::begin(valued), std::end(valued), flag) == std::end(valued)) {
            usage("unknown option " + std::string(flag));
        }
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
        } else if (flag == "--drive-model") {
            options.drive_model = value;
        } else if (flag == "--urdf") {
            options.robot.urdf = value;
        } else if (flag == "--yaml") {
            options.robot.yaml = value;
        } else if (flag == "--joints") {
            options.robot.joints = entries(flag, value);
        } else if (flag == "--max-torque") {
            options.robot.max_torque.clear();
            for (const std::string &entry : entries(flag, value)) {
                options.robot.max_torque.push_back(number(flag, entry.c_str(), 1e-6, 1e9));
            }
        } else if (flag == "--link-delay") {
            options.link.delay = number(flag, value, 0.0, 1.0);
        } else if (flag == "--link-jitter") {
            options.link.jitter = number(flag, value, 0.0, 1.0);
        } else if (flag == "--link-drop") {
            options.link.drop = number(flag, value, 0.0, 1.0);
        } else if (flag == "--seed") {
            options.link.seed = static_cast<uint32_t>(number(flag, value, 0.0, 4294967295.0));
        } else if (flag == "--duration") {
            options.duration = number(flag, value, 0.001, 3600.0);
#ifdef KESTREL_SIM_SWITCHES
        } else if (flag == "--switch-off") {
            if (!options.switches.switch_off(value)) usage(std::string("no piece called '") + value + "'");
#endif
        } else {
            usage("unknown option " + std::string(flag));
        }
    }
    if (options.drive_model.empty()) options.drive_model = options.model;
    return options;
}

}  // namespace kestrel_sim
