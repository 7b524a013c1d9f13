// The link that carries signed command frames (kestrel_frame.h) from the
// controller role to the actuator role: a DDS topic of Kestrel's own
// (command_frames.idl: reliable, the newest frame of each joint kept), or
// UDP datagrams of one frame each (--link udp:HOST:PORT; the actuator binds
// HOST:PORT, the controller sends there).
#ifndef KESTREL_ROS2_FRAME_LINK_HPP
#define KESTREL_ROS2_FRAME_LINK_HPP

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dds_io.hpp"
#include "kestrel_frame.h"

namespace kestrel_ros2 {

using FrameBytes = std::array<uint8_t, KESTREL_FRAME_LEN>;

// The DDS topic of the frames: not under rt/, as it is no ROS topic.
constexpr char kFrameTopic[] = "kestrel/command_frames";

class FrameLink {
public:
    virtual ~FrameLink() = default;
    // Sends one frame signed for axis; false when the link refused it.
    virtual bool send(const FrameBytes &frame, int32_t axis) = 0;
    // Appends every frame that arrived since the last call to `arrived`, in
    // the order the link gives them, and returns how many arrivals were not
    // one frame long (never appended). Does not block.
    virtual uint64_t receive(std::vector<FrameBytes> &arrived) = 0;
};

// Throws std::runtime_error when spec is neither "dds" nor "udp:HOST:PORT"
// with an IPv4 address and a port from 1 to 65535.
void check_link_spec(const std::string &spec);

// The link of `spec` ("dds" or "udp:HOST:PORT", HOST an IPv4 address), set up
// to send, to receive or both. Throws std::runtime_error on a bad spec or a
// socket or DDS entity that cannot be made.
std::unique_ptr<FrameLink> open_frame_link(const std::string &spec, Participant &participant, bool sends,
                                           bool receives);

}  // namespace kestrel_ros2

#endif
