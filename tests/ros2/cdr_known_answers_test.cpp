// The wire form of every message kestrel_ros2 speaks, against bytes written by
// hand from the rules of plain CDR (XCDR1, little-endian, each primitive
// aligned to its size from the start of the payload, at most 8; a string is its
// length with the NUL, then its bytes and the NUL; a sequence its length, then
// its elements). Both ways: the sample serialises to the bytes, and the bytes
// read back serialise to themselves. Also each type's DDS name, its keys and
// that it needs no more than XCDR1, as a ROS 2 peer expects.
#include <cstring>
#include <string>
#include <vector>

#include <dds/dds.h>
#include <dds/ddsi/ddsi_cdrstream.h>
#include <gtest/gtest.h>

#include "command_frames.h"
#include "ros2_messages.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kXcdr1 = 1;  // Cyclone's number for plain CDR

Bytes le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
Bytes le64(double d) {
    uint64_t v;
    std::memcpy(&v, &d, 8);
    Bytes out;
    for (int i = 0; i < 8; ++i) out.push_back(uint8_t(v >> (8 * i)));
    return out;
}
Bytes str(const std::string &s) {  // a CDR string: length with the NUL, bytes, NUL
    Bytes out = le32(uint32_t(s.size() + 1));
    out.insert(out.end(), s.begin(), s.end());
    out.push_back(0);
    return out;
}
Bytes pad(size_t n) { return Bytes(n, 0); }
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes serialise(const dds_topic_descriptor_t &type, const void *sample) {
    dds_ostreamLE_t os;
    dds_ostreamLE_init(&os, 0, kXcdr1);
    dds_stream_writeLE(&os, static_cast<const char *>(sample), type.m_ops);
    Bytes out(os.x.m_buffer, os.x.m_buffer + os.x.m_index);
    dds_ostreamLE_fini(&os);
    return out;
}

Bytes read_back(const dds_topic_descriptor_t &type, const Bytes &bytes) {
    void *sample = dds_alloc(type.m_size);  // zeroed
    dds_istream_t is;
    dds_istream_init(&is, uint32_t(bytes.size()), bytes.data(), kXcdr1);
    dds_stream_read(&is, static_cast<char *>(sample), type.m_ops);
    dds_istream_fini(&is);
    Bytes again = serialise(type, sample);
    dds_sample_free(sample, &type, DDS_FREE_ALL);
    return again;
}

// Samples; the sequences point at these.
char kBase[] = "base", kHi[] = "hi", kX[] = "x", kA[] = "a", kEmpty[] = "", kJ1[] = "j1", kW[] = "w";
char *kNamesJ1[] = {kJ1}, *kNamesA[] = {kA};
double kData[] = {1.5, -0.0}, kTwo[] = {2.0}, kOne[] = {1.0}, kHalf[] = {0.5};
std_msgs_msg_dds__MultiArrayDimension_ kDimA[] = {{kA, 2, 1}};
trajectory_msgs_msg_dds__JointTrajectoryPoint_ kPoint[] = {
    {{0, 0, nullptr, false}, {1, 1, kHalf, false}, {0, 0, nullptr, false}, {0, 0, nullptr, false}, {0, 1}}};

const builtin_interfaces_msg_dds__Time_ time_sample{-2, 500000000};
const builtin_interfaces_msg_dds__Duration_ duration_sample{1, 2};
const std_msgs_msg_dds__Header_ header_sample{{1, 2}, kBase};
const std_msgs_msg_dds__String_ string_sample{kHi};
const std_msgs_msg_dds__MultiArrayDimension_ dimension_sample{kX, 3, 1};
const std_msgs_msg_dds__MultiArrayLayout_ layout_sample{{1, 1, kDimA, false}, 4};
const std_msgs_msg_dds__Float64MultiArray_ array_sample{{{0, 0, nullptr, false}, 0}, {2, 2, kData, false}};
const sensor_msgs_msg_dds__JointState_ state_sample{
    {{3, 4}, kEmpty}, {1, 1, kNamesJ1, false}, {1, 1, kTwo, false}, {0, 0, nullptr, false}, {0, 0, nullptr, false}};
const trajectory_msgs_msg_dds__JointTrajectoryPoint_ point_sample{
    {1, 1, kOne, false}, {0, 0, nullptr, false}, {0, 0, nullptr, false}, {0, 0, nullptr, false}, {5, 6}};
const trajectory_msgs_msg_dds__JointTrajectory_ trajectory_sample{
    {{0, 0}, kW}, {1, 1, kNamesA, false}, {1, 1, kPoint, false}};
kestrel_msg_dds__CommandFrame_ frame_sample() {
    kestrel_msg_dds__CommandFrame_ frame{3, {}};
    for (int i = 0; i < 84; ++i) frame.frame[i] = uint8_t(i);
    return frame;
}
const kestrel_msg_dds__CommandFrame_ command_frame_sample = frame_sample();

Bytes frame_bytes() {
    Bytes out = le32(3);
    for (int i = 0; i < 84; ++i) out.push_back(uint8_t(i));
    return out;
}

struct Case {
    const dds_topic_descriptor_t &type;
    const char *type_name;
    uint32_t keys;
    const void *sample;
    Bytes bytes;
};

const Case kCases[] = {
    {builtin_interfaces_msg_dds__Time__desc, "builtin_interfaces::msg::dds_::Time_", 0, &time_sample,
     cat({le32(uint32_t(-2)), le32(500000000)})},
    {builtin_interfaces_msg_dds__Duration__desc, "builtin_interfaces::msg::dds_::Duration_", 0, &duration_sample,
     cat({le32(1), le32(2)})},
    {std_msgs_msg_dds__Header__desc, "std_msgs::msg::dds_::Header_", 0, &header_sample,
     cat({le32(1), le32(2), str("base")})},
    {std_msgs_msg_dds__String__desc, "std_msgs::msg::dds_::String_", 0, &string_sample, str("hi")},
    // "x" ends at 6; size aligns to 8.
    {std_msgs_msg_dds__MultiArrayDimension__desc, "std_msgs::msg::dds_::MultiArrayDimension_", 0, &dimension_sample,
     cat({str("x"), pad(2), le32(3), le32(1)})},
    {std_msgs_msg_dds__MultiArrayLayout__desc, "std_msgs::msg::dds_::MultiArrayLayout_", 0, &layout_sample,
     cat({le32(1), str("a"), pad(2), le32(2), le32(1), le32(4)})},
    // The data's length ends at 12; its doubles align to 16. -0.0 keeps its sign bit.
    {std_msgs_msg_dds__Float64MultiArray__desc, "std_msgs::msg::dds_::Float64MultiArray_", 0, &array_sample,
     cat({le32(0), le32(0), le32(2), pad(4), le64(1.5), le64(-0.0)})},
    {sensor_msgs_msg_dds__JointState__desc, "sensor_msgs::msg::dds_::JointState_", 0, &state_sample,
     cat({le32(3), le32(4), str(""), pad(3), le32(1), str("j1"), pad(1), le32(1), le64(2.0), le32(0), le32(0)})},
    {trajectory_msgs_msg_dds__JointTrajectoryPoint__desc, "trajectory_msgs::msg::dds_::JointTrajectoryPoint_", 0,
     &point_sample, cat({le32(1), pad(4), le64(1.0), le32(0), le32(0), le32(0), le32(5), le32(6)})},
    {trajectory_msgs_msg_dds__JointTrajectory__desc, "trajectory_msgs::msg::dds_::JointTrajectory_", 0,
     &trajectory_sample,
     cat({le32(0), le32(0), str("w"), pad(2), le32(1), str("a"), pad(2), le32(1), le32(0), le32(1), le64(0.5),
          le32(0), le32(0), le32(0), le32(1)})},
    {kestrel_msg_dds__CommandFrame__desc, "kestrel::msg::dds_::CommandFrame_", 1, &command_frame_sample,
     frame_bytes()},
};

TEST(CdrKnownAnswers, EveryTypeBothWays) {
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.type_name);
        EXPECT_STREQ(c.type.m_typename, c.type_name);
        EXPECT_EQ(c.type.m_nkeys, c.keys);
        EXPECT_EQ(dds_stream_minimum_xcdr_version(c.type.m_ops), kXcdr1);
        EXPECT_EQ(serialise(c.type, c.sample), c.bytes);
        EXPECT_EQ(read_back(c.type, c.bytes), c.bytes);
    }
}

}  // namespace
