#include "simulated_link.h"

#include <algorithm>
#include <cmath>

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

Link::Link(const LinkConfig &config, int joints) : config_(config), joints_(joints), random_(config.seed) {
    in_flight_.reserve(64 * static_cast<size_t>(joints));
    arrived_.reserve(4 * static_cast<size_t>(joints));
    history_.resize(kHistory * joints);
}

const std::vector<LinkFrame> &Link::carry(double time, uint64_t now_ns, const std::vector<LinkFrame> &sent) {
    const long period = periods_++;
    arrived_.clear();
    if (time >= config_.dead_from) return arrived_;
    // The frames of one period travel together, and in order: a period held
    // up by the jitter holds up those behind it, as on a bus or a stream.
    const double delay = config_.delay + (config_.jitter > 0.0 ? jitter_(random_) * config_.jitter : 0.0);
    last_arrival_ns_ = std::max(last_arrival_ns_, now_ns + static_cast<uint64_t>(std::llround(delay * 1e9)));
    for (LinkFrame frame : sent) {
        history_[(period % kHistory) * joints_ + frame.joint] = frame;
        if (config_.drop > 0.0 && jitter_(random_) < config_.drop) continue;
        frame.arrival_ns = last_arrival_ns_;
        in_flight_.push_back(frame);
    }
    // What has arrived by now, in the order sent.
    const auto not_yet = std::find_if(in_flight_.begin(), in_flight_.end(),
                                      [now_ns](const LinkFrame &frame) { return frame.arrival_ns > now_ns; });
    arrived_.assign(in_flight_.begin(), not_yet);
    in_flight_.erase(in_flight_.begin(), not_yet);
    if (config_.attack && time >= kFrom && time < kUntil && period % kEvery == 0) inject(period, sent);
    return arrived_;
}

// Cycles through the attacks, each on a joint of its own. The frames of this
// period are looked up by joint: a joint whose command the boundary refused
// has none, and is then left alone.
void Link::inject(long period, const std::vector<LinkFrame> &sent) {
    const long attack = period / kEvery;
    const int joint = static_cast<int>(attack % joints_);
    const auto of_joint = [joint](const LinkFrame &frame) { return frame.joint == joint; };
    switch (attack % 4) {
        case 0: {  // a frame recorded half a second ago, sent again
            LinkFrame old = history_[((period + 1) % kHistory) * joints_ + joint];
            old.origin = Origin::replayed;
            arrived_.push_back(old);
            break;
        }
        case 1: {  // last period's frame once more, right behind this period's
            LinkFrame again = history_[((period - 1) % kHistory) * joints_ + joint];
            again.origin = Origin::replayed;
            arrived_.push_back(again);
            break;
        }
        case 2: {  // two frames swapped: the later one arrives first, the earlier one late
            const auto found = std::find_if(arrived_.begin(), arrived_.end(), of_joint);
            if (found == arrived_.end() || arrived_.size() < 2) break;
            const size_t first = std::min<size_t>(found - arrived_.begin(), arrived_.size() - 2);
            std::swap(arrived_[first], arrived_[first + 1]);
            arrived_[first + 1].origin = Origin::reordered;
            break;
        }
        default: {  // one bit flipped anywhere in a copy sent ahead of the genuine frame
            const auto genuine = std::find_if(sent.begin(), sent.end(), of_joint);
            if (genuine == sent.end()) break;
            LinkFrame flipped = *genuine;
            const unsigned bit = std::uniform_int_distribution<unsigned>(0, 8 * KESTREL_FRAME_LEN - 1)(attacker_);
            flipped.bytes[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
            flipped.origin = Origin::bit_flipped;
            arrived_.insert(arrived_.begin(), flipped);
            break;
        }
    }
}

}  // namespace kestrel_sim
