// The link between the two sides: signed command frames, as a field bus or
// a stream would carry them, in order, with a delay, a jitter (one per
// period: its frames travel together) and a loss of its own (seeded, so a run
// can be replayed), and in two scenarios faults on it: an
// attacker who injects frames (replayed, reordered, bit-flipped) and the link
// going dead.
#ifndef KESTREL_SIM_SIMULATED_LINK_H
#define KESTREL_SIM_SIMULATED_LINK_H

#include <array>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "kestrel_frame.h"

namespace kestrel_sim {

// Where a frame on the link came from. Only the simulation knows this; the
// actuator side sees bytes. Anything but `genuine` was put there by the
// attacker and must never reach a drive.
enum class Origin { genuine, replayed, reordered, bit_flipped };
const char *origin_name(Origin origin);

struct LinkFrame {
    std::array<uint8_t, KESTREL_FRAME_LEN> bytes{};
    int joint = 0;  // the joint the genuine frame was signed for
    Origin origin = Origin::genuine;
    uint64_t sent_ns = 0;     // when it was signed and sent (simulated clock)
    uint64_t arrival_ns = 0;  // when it arrives
};

struct LinkConfig {
    double delay = 0.0;   // s, every frame
    double jitter = 0.0;  // s, a further uniform delay in [0, jitter]
    double drop = 0.0;    // the fraction of frames lost
    uint32_t seed = 1;
    bool attack = false;                                         // inject frames from 1 s to 9 s
    double dead_from = std::numeric_limits<double>::infinity();  // s: nothing is carried from then on
};

class Link {
public:
    Link(const LinkConfig &config, int joints);

    // Puts one period's frames (in signing order) on the link at `time` (s,
    // since the start; `now_ns` on the clock) and returns the frames that
    // arrive in this period, in the order they arrive.
    const std::vector<LinkFrame> &carry(double time, uint64_t now_ns, const std::vector<LinkFrame> &sent);

private:
    void inject(long period, const std::vector<LinkFrame> &sent);

    LinkConfig config_;
    int joints_;
    std::vector<LinkFrame> in_flight_;  // sent and not yet arrived, in the order sent
    uint64_t last_arrival_ns_ = 0;      // when the last period's frames arrive
    std::vector<LinkFrame> arrived_;
    std::vector<LinkFrame> history_;  // a ring of the genuine frames of the last kHistory periods
    long periods_ = 0;
    std::mt19937 random_;  // the link's delays and losses, seeded
    std::uniform_real_distribution<double> jitter_{0.0, 1.0};
    std::mt19937 attacker_{29};  // fixed: every run injects the same frames
};

}  // namespace kestrel_sim

#endif
