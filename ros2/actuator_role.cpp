#include "actuator_role.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "ros2_messages.h"

namespace kestrel_ros2 {
namespace {

void require_ok(KestrelError error, const char *call) {
    if (error != KESTREL_OK) throw std::runtime_error(std::string(call) + ": " + kestrel_error_message(error));
}

// The sequence id a frame claims, unchecked: only for putting the frames of
// one period in the order they were signed, since the guard accepts only
// rising sequence ids and DDS hands over the newest frame of each joint in
// the order of the joints.
uint64_t claimed_sequence(const FrameBytes &frame) {
    KestrelReceiptFields fields{};
    (void)kestrel_receipt_parse(frame.data() + KESTREL_FRAME_LEN - KESTREL_RECEIPT_WIRE_LEN, &fields);
    return fields.sequence_id;
}

}  // namespace

ActuatorRole::ActuatorRole(const Options &options, const std::vector<Joint> &joints,
                           const uint8_t key[KESTREL_KEY_LEN], Participant &participant, FrameLink &link,
                           KestrelRos2Plant &plant)
    : joints_(joints), link_(link), plant_(plant), period_(1.0 / options.rate),
      guard_(std::make_unique<KestrelReceiptGuard>()) {
    state_writer_ = participant.writer(sensor_msgs_msg_dds__JointState__desc, ros_topic(options.state_topic),
                                       Qos::ros_default);
    uint64_t last_sequence = 0;
    if (!options.sequence_file.empty()) {
        sequence_fd_ = open(options.sequence_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (sequence_fd_ < 0) {
            throw std::runtime_error(options.sequence_file + ": " + std::strerror(errno));
        }
        uint8_t stored[8];
        const ssize_t length = pread(sequence_fd_, stored, sizeof stored, 0);
        if (length == sizeof stored) {
            for (int i = 7; i >= 0; --i) last_sequence = last_sequence << 8 | stored[i];
        } else if (length != 0) {
            throw std::runtime_error(options.sequence_file + ": not a sequence file (8 bytes, little-endian)");
        }
    }
    require_ok(kestrel_receipt_guard_resume(guard_.get(), key, last_sequence), "kestrel_receipt_guard_resume");
    require_ok(kestrel_receipt_guard_set_max_age(guard_.get(), static_cast<uint64_t>(options.max_age * 1e9)),
               "kestrel_receipt_guard_set_max_age");
    require_ok(kestrel_watchdog_init(&watchdog_, static_cast<uint64_t>(options.watchdog * 1e9), nullptr, nullptr),
               "kestrel_watchdog_init");
    std::vector<KestrelJointLimits> limits;
    for (const Joint &joint : joints) {
        limits.push_back(joint.limits);
        names_.push_back(joint.name.c_str());
    }
    const std::vector<double> start = start_positions(joints);
    const uint32_t count = static_cast<uint32_t>(joints.size());
    require_ok(kestrel_joint_limiter_init(&limiter_, count, limits.data(), period_, start.data()),
               "kestrel_joint_limiter_init");
    // The frames arrive shaped by the controller's limiter: this one is the
    // last line, following them as given and cutting only what breaks a limit.
    require_ok(kestrel_joint_limiter_set_pure_tracking(&limiter_, 1), "kestrel_joint_limiter_set_pure_tracking");
    if (options.monitor) {
        const KestrelMonitorConfig config{options.position_tolerance, options.velocity_tolerance, 0.01,
                                          options.stop == "ss2" ? KESTREL_MONITOR_SS2 : KESTREL_MONITOR_SS1};
        require_ok(kestrel_monitor_init(&monitor_, count, limits.data(), &config, period_clock, this),
                   "kestrel_monitor_init");
        monitored_ = true;
        counts_.declare("periods_torque_off");
    }
    desired_.assign(count, 0.0);
    limited_.assign(count, 0.0);
    positions_.assign(count, 0.0);
    measured_position_.assign(count, 0.0);
    measured_velocity_.assign(count, 0.0);
    measured_effort_.assign(count, 0.0);
    for (const char *name : {"frames_accepted", "watchdog_expiries", "watchdog_expired", "states_published"}) {
        counts_.declare(name);
    }
}

ActuatorRole::~ActuatorRole() {
    (void)kestrel_receipt_guard_wipe(guard_.get());
    if (sequence_fd_ >= 0) close(sequence_fd_);
}

void ActuatorRole::judge_frames() {
    arrived_.clear();
    const uint64_t malformed = link_.receive(arrived_);
    if (malformed) counts_.add("refused_invalid_frame", malformed);
    std::stable_sort(arrived_.begin(), arrived_.end(), [](const FrameBytes &a, const FrameBytes &b) {
        return claimed_sequence(a) < claimed_sequence(b);
    });
    bool accepted = false;
    for (const FrameBytes &bytes : arrived_) {
        KestrelFrame frame;
        const KestrelError verdict = kestrel_receipt_guard_check_frame(guard_.get(), bytes.data(), &frame);
        if (verdict != KESTREL_OK) {
            counts_.add(std::string("refused_") + kestrel_error_name(verdict));
            continue;
        }
        if (frame.axis < 0 || static_cast<size_t>(frame.axis) >= joints_.size()) {
            counts_.add("refused_unknown_axis");
            continue;
        }
        desired_[frame.axis] = frame.velocity;
        require_ok(kestrel_watchdog_feed(&watchdog_), "kestrel_watchdog_feed");
        counts_.add("frames_accepted");
        accepted = fed_since_expiry_ = true;
    }
    if (accepted) store_sequence();
}

void ActuatorRole::store_sequence() {
    if (sequence_fd_ < 0) return;
    uint64_t last = 0;
    require_ok(kestrel_receipt_guard_last_sequence_id(guard_.get(), &last), "kestrel_receipt_guard_last_sequence_id");
    uint8_t stored[8];
    for (int i = 0; i < 8; ++i) stored[i] = static_cast<uint8_t>(last >> (8 * i));
    // Written before the plant moves; a failed write stops the joints rather
    // than leave a receipt that a restart would accept again.
    if (pwrite(sequence_fd_, stored, sizeof stored, 0) != static_cast<ssize_t>(sizeof stored)) {
        counts_.add("sequence_store_failures");
        std::fill(desired_.begin(), desired_.end(), NAN);
    }
}

uint64_t ActuatorRole::period_clock(void *context) {
    const auto *role = static_cast<const ActuatorRole *>(context);
    return static_cast<uint64_t>(static_cast<double>(role->periods_) * role->period_ * 1e9);
}

void ActuatorRole::count_new_trip() {
    KestrelTrip trip{};
    require_ok(kestrel_monitor_last_trip(&monitor_, &trip), "kestrel_monitor_last_trip");
    if (trip.function == KESTREL_TRIP_NONE || std::memcmp(&trip, &seen_trip_, sizeof trip) == 0) return;
    seen_trip_ = trip;
    counts_.add(std::string("trips_") + kestrel_safety_function_name(trip.function));
}

void ActuatorRole::step() {
    ++periods_;
    judge_frames();
    uint32_t expired = 0;
    require_ok(kestrel_watchdog_expired(&watchdog_, &expired), "kestrel_watchdog_expired");
    counts_.set("watchdog_expired", expired);
    if (expired) {
        // Only the silence after an accepted frame stops the monitor: before
        // the first frame the joints rest at their start, held by the limiter.
        if (fed_since_expiry_) {
            counts_.add("watchdog_expiries");
            if (monitored_) {
                require_ok(kestrel_monitor_request_stop(&monitor_), "kestrel_monitor_request_stop");
                require_ok(kestrel_monitor_status(&monitor_, &monitor_state_, nullptr), "kestrel_monitor_status");
                count_new_trip();
            }
        }
        fed_since_expiry_ = false;
    }
    if (expired || monitor_state_ != KESTREL_MONITOR_RUN) {
        std::fill(desired_.begin(), desired_.end(), NAN);  // the limiter's stop request
    }
    require_ok(kestrel_joint_limiter_limit(&limiter_, desired_.data(), limited_.data(), nullptr),
               "kestrel_joint_limiter_limit");
    require_ok(kestrel_joint_limiter_state(&limiter_, nullptr, positions_.data(), nullptr, nullptr, nullptr),
               "kestrel_joint_limiter_state");
    if (monitor_state_ == KESTREL_MONITOR_TORQUE_OFF) {
        std::fill(limited_.begin(), limited_.end(), 0.0);  // torque off: no motion (kestrel_ros2_plant.h)
        counts_.add("periods_torque_off");
    }
    const uint32_t count = static_cast<uint32_t>(joints_.size());
    if (plant_.apply(plant_.context, count, positions_.data(), limited_.data(), period_) != 0) {
        counts_.add("plant_faults");
    }
    const bool measured = plant_.measure(plant_.context, count, measured_position_.data(),
                                         measured_velocity_.data(), measured_effort_.data()) == 0;
    if (!measured) {
        counts_.add("plant_faults");
        // What was not measured cannot be judged: the monitor trips on it.
        std::fill(measured_position_.begin(), measured_position_.end(), NAN);
        std::fill(measured_velocity_.begin(), measured_velocity_.end(), NAN);
    }
    if (monitored_) {
        require_ok(kestrel_monitor_check(&monitor_, measured_position_.data(), measured_velocity_.data(),
                                         &monitor_state_),
                   "kestrel_monitor_check");
        count_new_trip();
    }
    if (measured) publish_state();
}

std::string ActuatorRole::monitor_line() const {
    if (!monitored_) return {};
    KestrelTrip trip{};
    require_ok(kestrel_monitor_last_trip(&monitor_, &trip), "kestrel_monitor_last_trip");
    char line[256];
    std::snprintf(line, sizeof line, "monitor state=%s function=%s joint=%u value=%.17g limit=%.17g",
                  kestrel_monitor_state_name(monitor_state_), kestrel_safety_function_name(trip.function),
                  static_cast<unsigned>(trip.joint), trip.value, trip.limit);
    return line;
}

void ActuatorRole::publish_state() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const uint32_t count = static_cast<uint32_t>(joints_.size());
    const bool has_effort = std::any_of(measured_effort_.begin(), measured_effort_.end(),
                                        [](double effort) { return !std::isnan(effort); });
    sensor_msgs_msg_dds__JointState_ state{};
    state.header.stamp.sec = static_cast<int32_t>(now.tv_sec);
    state.header.stamp.nanosec = static_cast<uint32_t>(now.tv_nsec);
    state.header.frame_id = const_cast<char *>("");
    state.name = {count, count, const_cast<char **>(names_.data()), false};
    state.position = {count, count, measured_position_.data(), false};
    state.velocity = {count, count, measured_velocity_.data(), false};
    state.effort = {has_effort ? count : 0, has_effort ? count : 0, measured_effort_.data(), false};
    if (dds_write(state_writer_, &state) == DDS_RETCODE_OK) {
        counts_.add("states_published");
    } else {
        counts_.add("state_write_failures");
    }
}

}  // namespace kestrel_ros2
