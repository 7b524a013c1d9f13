// The link between the two sides: signed command frames, as a field bus or
// a network would carry them, and in two scenarios the faults on it: an
// attacker who injects frames (replayed, reordered, bit-flipped) and the
// link going dead.
#ifndef KESTREL_SIM_LINK_H
#define KESTREL_SIM_LINK_H

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "kestrel_frame.h"
#include "scenario.h"

namespace kestrel_sim {

// Where a frame on the link came from. Only the simulation knows this; the
// actuator side sees bytes. Anything but `genuine` was put there by the
// attacker and must never reach a servo.
enum class Origin { genuine, replayed, reordered, bit_flipped };
const char *origin_name(Origin origin);

struct LinkFrame {
    std::array<uint8_t, KESTREL_FRAME_LEN> bytes;
    int joint;  // the joint the genuine frame was signed for
    Origin origin;
};

class Link {
public:
    explicit Link(Scenario scenario);

    // Carries one period's frames (in signing order) at `time` (s) and
    // returns them as they arrive, with the scenario's faults applied.
    const std::vector<LinkFrame> &carry(double time, const std::vector<LinkFrame> &sent);

private:
    void inject(long period, const std::vector<LinkFrame> &sent);

    Scenario scenario_;
    std::vector<LinkFrame> arrived_;
    std::vector<LinkFrame> history_;  // a ring of the genuine frames of the last kHistory periods
    long periods_ = 0;
    std::mt19937 random_{29};  // fixed: every run injects the same frames
};

}  // namespace kestrel_sim

#endif
