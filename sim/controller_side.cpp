#include "controller_side.h"

#include <array>

namespace kestrel_sim {
namespace {

constexpr double kPeriod = 0.001;  // s
// Seven axes at 1 kHz: exactly what one second of the loop signs.
constexpr uint64_t kRateLimit = 1000 * kJoints;

}  // namespace

ControllerSide::ControllerSide(const Datasheet &sheet, const uint8_t key[KESTREL_KEY_LEN], SimulatedClock &clock) {
    require_ok(kestrel_joint_limiter_init(&limiter_, kJoints, sheet.limits.data(), kPeriod, sheet.home.data()),
               "kestrel_joint_limiter_init (controller side)");
    KestrelError error = KESTREL_OK;
    boundary_ = kestrel_boundary_new_with_clock(key, kRateLimit, sheet.fastest, read_simulated_clock, &clock, &error);
    require_ok(error, "kestrel_boundary_new_with_clock");
}

ControllerSide::~ControllerSide() { kestrel_boundary_free(boundary_); }

void ControllerSide::command(const Request &request, std::vector<LinkFrame> &frames, PeriodEvents &events) {
    std::array<double, kJoints> positions{};
    std::array<double, kJoints> velocities{};
    std::array<uint32_t, kJoints> binding{};
    if (request.positions) {
        require_ok(
            kestrel_joint_limiter_limit_position(&limiter_, request.values.data(), positions.data(), binding.data()),
            "kestrel_joint_limiter_limit_position");
        require_ok(kestrel_joint_limiter_state(&limiter_, nullptr, nullptr, velocities.data(), nullptr, nullptr),
                   "kestrel_joint_limiter_state");
    } else {
        require_ok(kestrel_joint_limiter_limit(&limiter_, request.values.data(), velocities.data(), binding.data()),
                   "kestrel_joint_limiter_limit");
        require_ok(kestrel_joint_limiter_state(&limiter_, nullptr, positions.data(), nullptr, nullptr, nullptr),
                   "kestrel_joint_limiter_state");
    }
    frames.clear();
    for (int joint = 0; joint < kJoints; ++joint) {
        if (binding[joint] & KESTREL_LIMIT_STOP_REQUEST) events.add(joint, "stop_request");
        KestrelFrame frame{joint, positions[joint], velocities[joint], {}};
        const KestrelError refused =
            kestrel_boundary_authorize(boundary_, joint, frame.position, frame.velocity, frame.receipt);
        if (refused != KESTREL_OK) {
            ++refusals_;
            events.add(joint, kestrel_error_name(refused));
            continue;
        }
        LinkFrame &sent = frames.emplace_back();
        sent.joint = joint;
        sent.origin = Origin::genuine;
        require_ok(kestrel_frame_encode(&frame, sent.bytes.data()), "kestrel_frame_encode");
    }
}

}  // namespace kestrel_sim
