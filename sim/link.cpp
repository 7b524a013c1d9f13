#include "link.h"

#include <cmath>
#include <utility>

namespace kestrel_sim {
namespace {

constexpr long kHistory = 500;  // periods: a replay is half a second old
// The attacker injects one fault every kEvery periods between kFrom and kUntil s.
constexpr long kEvery = 50;
constexpr double kFrom = 1.0;
constexpr double kUntil = 9.0;

}  // namespace

const char *origin_name(Origin origin) {
    switch (origin) {
        case Origin::genuine:
            return "genuine";
        case Origin::replayed:
            return "replayed";
        case Origin::reordered:
            return "reordered";
        case Origin::bit_flipped:
            return "bit_flipped";
    }
    return "?";
}

Link::Link(Scenario scenario) : scenario_(scenario) {
    arrived_.reserve(2 * kJoints);
    history_.resize(kHistory * kJoints);
}

const std::vector<LinkFrame> &Link::carry(double time, const std::vector<LinkFrame> &sent) {
    const long period = periods_++;
    arrived_.clear();
    if (scenario_ == Scenario::link_loss && time >= kLinkLossTime) return arrived_;
    arrived_ = sent;
    if (scenario_ == Scenario::attack && time >= kFrom && time < kUntil && period % kEvery == 0) {
        inject(period, sent);
    }
    for (const LinkFrame &frame : sent) {
        history_[(period % kHistory) * kJoints + frame.joint] = frame;
    }
    return arrived_;
}

// Cycles through the attacks, each on a joint of its own.
void Link::inject(long period, const std::vector<LinkFrame> &sent) {
    const long attack = period / kEvery;
    const int joint = static_cast<int>(attack % kJoints);
    switch (attack % 4) {
        case 0: {  // a frame recorded half a second ago, sent again
            LinkFrame old = history_[(period % kHistory) * kJoints + joint];
            old.origin = Origin::replayed;
            arrived_.push_back(old);
            break;
        }
        case 1: {  // last period's frame once more, right behind this period's
            LinkFrame again = history_[((period - 1) % kHistory) * kJoints + joint];
            again.origin = Origin::replayed;
            arrived_.push_back(again);
            break;
        }
        case 2: {  // two frames swapped: the later one arrives first, the earlier one late
            const int first = joint == kJoints - 1 ? joint - 1 : joint;
            std::swap(arrived_[first], arrived_[first + 1]);
            arrived_[first + 1].origin = Origin::reordered;
            break;
        }
        default: {  // one bit flipped anywhere in a copy sent ahead of the genuine frame
            LinkFrame flipped = sent[joint];
            const unsigned bit = std::uniform_int_distribution<unsigned>(0, 8 * KESTREL_FRAME_LEN - 1)(random_);
            flipped.bytes[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
            flipped.origin = Origin::bit_flipped;
            arrived_.insert(arrived_.begin() + joint, flipped);
            break;
        }
    }
}

}  // namespace kestrel_sim
