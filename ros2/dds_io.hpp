// The DDS side of kestrel_ros2: one participant in the domain of
// ROS_DOMAIN_ID, ROS 2's topic names and QoS, and readers and writers of the
// generated message types. Errors at setting up throw std::runtime_error with
// Cyclone's own text; nothing here throws once running.
#ifndef KESTREL_ROS2_DDS_IO_HPP
#define KESTREL_ROS2_DDS_IO_HPP

#include <string>

#include <dds/dds.h>

namespace kestrel_ros2 {

// The DDS topic of a ROS topic: "/a/b" (or "a/b") is "rt/a/b".
std::string ros_topic(const std::string &topic);

// The domain ROS 2 nodes use: ROS_DOMAIN_ID (0 to 232), 0 when unset.
dds_domainid_t ros_domain();

enum class Qos {
    ros_default,      // reliable, volatile, keep last 10: ROS 2's default
    ros_backlog,      // the same with keep last 1000, for a reader: a loop that runs late
                      // loses nothing (the depth does not affect matching)
    frames_per_joint  // reliable, volatile, keep last 1 per key: the newest frame of each joint
};

// A participant, deleted with everything it made when this dies.
class Participant {
public:
    Participant();
    ~Participant();
    Participant(const Participant &) = delete;
    Participant &operator=(const Participant &) = delete;

    dds_entity_t reader(const dds_topic_descriptor_t &type, const std::string &dds_topic, Qos qos);
    dds_entity_t writer(const dds_topic_descriptor_t &type, const std::string &dds_topic, Qos qos);

private:
    dds_entity_t topic(const dds_topic_descriptor_t &type, const std::string &dds_topic);
    dds_entity_t participant_;
};

// Throws std::runtime_error "what: Cyclone's text" when result is negative.
dds_entity_t require_dds(dds_entity_t result, const char *what);

}  // namespace kestrel_ros2

#endif
