#include "controller_side.h"

namespace kestrel_sim {

ControllerSide::ControllerSide(const Robot &robot, const uint8_t key[KESTREL_KEY_LEN], SimulatedClock &clock,
                               const Switches &switches)
    : limit_(switches.limiters),
      positions_(robot.home()),
      velocities_(robot.joints.size()),
      binding_(robot.joints.size()) {
    const uint32_t count = static_cast<uint32_t>(robot.joints.size());
    require_ok(kestrel_joint_limiter_init(&limiter_, count, robot.limits().data(), kPeriod, positions_.data()),
               "kestrel_joint_limiter_init (controller side)");
    // One frame per joint and period: exactly what one second of the loop signs.
    const uint64_t rate_limit = static_cast<uint64_t>(count) * (1'000'000'000 / kPeriodNs);
    KestrelError error = KESTREL_OK;
    boundary_ = kestrel_boundary_new_with_clock(key, rate_limit, robot.fastest, read_simulated_clock, &clock, &error);
    require_ok(error, "kestrel_boundary_new_with_clock");
}

ControllerSide::~ControllerSide() { kestrel_boundary_free(boundary_); }

void ControllerSide::command(const std::vector<double> &request, uint64_t now_ns, std::vector<LinkFrame> &frames,
                             PeriodEvents &events) {
    if (limit_) {
        require_ok(kestrel_joint_limiter_limit(&limiter_, request.data(), velocities_.data(), binding_.data()),
                   "kestrel_joint_limiter_limit (controller side)");
        require_ok(kestrel_joint_limiter_state(&limiter_, nullptr, positions_.data(), nullptr, nullptr, nullptr),
                   "kestrel_joint_limiter_state (controller side)");
    } else {
        for (size_t joint = 0; joint < request.size(); ++joint) {
            velocities_[joint] = request[joint];
            positions_[joint] += request[joint] * kPeriod;
            binding_[joint] = 0;
        }
    }
    frames.clear();
    for (size_t joint = 0; joint < request.size(); ++joint) {
        if (binding_[joint] & KESTREL_LIMIT_STOP_REQUEST) events.add(joint, "stop_request");
        KestrelFrame frame{static_cast<int32_t>(joint), positions_[joint], velocities_[joint], {}};
        const KestrelError refused =
            kestrel_boundary_authorize(boundary_, frame.axis, frame.position, frame.velocity, frame.receipt);
        if (refused != KESTREL_OK) {
            ++refusals_;
            events.add(joint, kestrel_error_name(refused));
            continue;
        }
        LinkFrame &sent = frames.emplace_back();
        sent.joint = static_cast<int>(joint);
        sent.sent_ns = now_ns;
        require_ok(kestrel_frame_encode(&frame, sent.bytes.data()), "kestrel_frame_encode");
    }
}

}  // namespace kestrel_sim
