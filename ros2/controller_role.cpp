#include "controller_role.hpp"

#include <array>
#include <cmath>
#include <stdexcept>

#include "ros2_messages.h"

namespace kestrel_ros2 {
namespace {

constexpr int kBatch = 32;

void require_ok(KestrelError error, const char *call) {
    if (error != KESTREL_OK) throw std::runtime_error(std::string(call) + ": " + kestrel_error_message(error));
}

}  // namespace

ControllerRole::ControllerRole(const Options &options, const std::vector<Joint> &joints,
                               const uint8_t key[KESTREL_KEY_LEN], Participant &participant, FrameLink &link)
    : joints_(joints), link_(link), trajectory_(!options.trajectory.empty()) {
    reader_ = trajectory_ ? participant.reader(trajectory_msgs_msg_dds__JointTrajectory__desc,
                                               ros_topic(options.trajectory), Qos::ros_backlog)
                          : participant.reader(std_msgs_msg_dds__Float64MultiArray__desc, ros_topic(options.commands),
                                               Qos::ros_backlog);
    const uint32_t count = static_cast<uint32_t>(joints.size());
    std::vector<KestrelJointLimits> limits;
    double fastest = 0;
    for (const Joint &joint : joints) {
        limits.push_back(joint.limits);
        fastest = std::fmax(fastest, joint.limits.max_velocity);
    }
    const std::vector<double> start = start_positions(joints);
    require_ok(kestrel_joint_limiter_init(&limiter_, count, limits.data(), 1.0 / options.rate, start.data()),
               "kestrel_joint_limiter_init");
    // Every joint signs once a period; a tenth more lets the loop catch up
    // after a late period without a rate refusal. The boundary's own velocity
    // limit is the fastest joint's; the axis limits hold each joint to its own
    // range and speed, so a command the limiter should never have let through
    // is refused by kind (refused_position_out_of_range,
    // refused_velocity_exceeded) instead of signed.
    const uint64_t rate_limit = static_cast<uint64_t>(std::ceil(options.rate * 1.1)) * count;
    KestrelError made = KESTREL_OK;
    boundary_ = kestrel_boundary_new(key, rate_limit, fastest, &made);
    require_ok(made, "kestrel_boundary_new");
    require_ok(kestrel_boundary_set_axis_limits(boundary_, count, limits.data()), "kestrel_boundary_set_axis_limits");
    request_.assign(count, NAN);
    limited_.assign(count, 0.0);
    positions_.assign(count, 0.0);
    velocities_.assign(count, 0.0);
    for (const char *name : {"commands_received", "commands_applied", "commands_superseded", "refused_wrong_length",
                             "refused_nan", "periods_without_command", "frames_sent", "refused_position_out_of_range",
                             "refused_velocity_exceeded"}) {
        counts_.declare(name);
    }
    if (trajectory_) counts_.declare("refused_unknown_joint");
}

ControllerRole::~ControllerRole() { kestrel_boundary_free(boundary_); }

void ControllerRole::offer(const double *values, uint32_t length, bool positions) {
    if (length != joints_.size()) {
        counts_.add("refused_wrong_length");
        return;
    }
    for (uint32_t j = 0; j < length; ++j) {
        if (!std::isfinite(values[j])) {
            counts_.add("refused_nan");
            return;
        }
    }
    // Of several good commands in one period the last is applied; the
    // earlier ones are counted as superseded instead.
    counts_.add(fresh_ ? "commands_superseded" : "commands_applied");
    request_.assign(values, values + length);
    request_positions_ = positions;
    fresh_ = true;
    current_periods_ = 2;
}

void ControllerRole::take_commands() {
    void *samples[kBatch] = {};
    dds_sample_info_t infos[kBatch];
    dds_return_t taken;
    while ((taken = dds_take(reader_, samples, infos, kBatch, kBatch)) > 0) {
        for (dds_return_t i = 0; i < taken; ++i) {
            if (!infos[i].valid_data) continue;
            counts_.add("commands_received");
            const auto *message = static_cast<const std_msgs_msg_dds__Float64MultiArray_ *>(samples[i]);
            offer(message->data._buffer, message->data._length, false);
        }
        (void)dds_return_loan(reader_, samples, taken);
        if (taken < kBatch) break;
    }
}

void ControllerRole::take_trajectories() {
    void *samples[kBatch] = {};
    dds_sample_info_t infos[kBatch];
    dds_return_t taken;
    // Fixed storage: a message per period must not allocate. The options
    // allow at most KESTREL_JOINT_LIMITER_MAX_JOINTS joints.
    std::array<double, KESTREL_JOINT_LIMITER_MAX_JOINTS> values{};
    const size_t unnamed = joints_.size();
    while ((taken = dds_take(reader_, samples, infos, kBatch, kBatch)) > 0) {
        for (dds_return_t i = 0; i < taken; ++i) {
            if (!infos[i].valid_data) continue;
            counts_.add("commands_received");
            const auto *message = static_cast<const trajectory_msgs_msg_dds__JointTrajectory_ *>(samples[i]);
            const auto &names = message->joint_names;
            if (message->points._length == 0 || names._length != joints_.size()) {
                counts_.add("refused_wrong_length");
                continue;
            }
            // The first point: its velocities, or else its positions as targets.
            const auto &point = message->points._buffer[0];
            const bool positions = point.velocities._length == 0;
            const dds_sequence_double &given = positions ? point.positions : point.velocities;
            if (given._length != names._length) {
                counts_.add("refused_wrong_length");
                continue;
            }
            // Each of our joints once, by name; `unnamed` marks one not named yet.
            std::array<size_t, KESTREL_JOINT_LIMITER_MAX_JOINTS> slot;
            slot.fill(unnamed);
            const char *problem = nullptr;
            for (uint32_t n = 0; n < names._length && !problem; ++n) {
                size_t j = 0;
                while (j < joints_.size() && joints_[j].name != names._buffer[n]) ++j;
                if (j == joints_.size()) {
                    problem = "refused_unknown_joint";
                } else if (slot[j] != unnamed) {
                    problem = "refused_wrong_length";  // a joint named twice leaves another unnamed
                } else {
                    slot[j] = n;
                    values[j] = given._buffer[n];
                }
            }
            if (problem) {
                counts_.add(problem);
                continue;
            }
            offer(values.data(), static_cast<uint32_t>(joints_.size()), positions);
        }
        (void)dds_return_loan(reader_, samples, taken);
        if (taken < kBatch) break;
    }
}

void ControllerRole::step() {
    fresh_ = false;
    if (trajectory_) {
        take_trajectories();
    } else {
        take_commands();
    }
    const bool current = current_periods_ > 0;
    if (current) {
        --current_periods_;
    } else {
        counts_.add("periods_without_command");
        request_.assign(joints_.size(), NAN);  // the limiter's stop request
        request_positions_ = false;
    }
    if (request_positions_) {
        require_ok(kestrel_joint_limiter_limit_position(&limiter_, request_.data(), limited_.data(), nullptr),
                   "kestrel_joint_limiter_limit_position");
    } else {
        require_ok(kestrel_joint_limiter_limit(&limiter_, request_.data(), limited_.data(), nullptr),
                   "kestrel_joint_limiter_limit");
    }
    require_ok(kestrel_joint_limiter_state(&limiter_, nullptr, positions_.data(), velocities_.data(), nullptr, nullptr),
               "kestrel_joint_limiter_state");
    if (!current) return;
    for (uint32_t j = 0; j < joints_.size(); ++j) {
        KestrelFrame frame{static_cast<int32_t>(j), positions_[j], velocities_[j], {}};
        const KestrelError refused = kestrel_boundary_authorize(boundary_, frame.axis, frame.position, frame.velocity,
                                                                frame.receipt);
        if (refused != KESTREL_OK) {
            counts_.add(std::string("refused_") + kestrel_error_name(refused));
            continue;
        }
        FrameBytes bytes;
        require_ok(kestrel_frame_encode(&frame, bytes.data()), "kestrel_frame_encode");
        counts_.add(link_.send(bytes, frame.axis) ? "frames_sent" : "link_send_failures");
    }
}

}  // namespace kestrel_ros2
