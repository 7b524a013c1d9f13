#include "dds_io.hpp"

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace kestrel_ros2 {

std::string ros_topic(const std::string &topic) { return topic.rfind('/', 0) == 0 ? "rt" + topic : "rt/" + topic; }

dds_domainid_t ros_domain() {
    const char *text = std::getenv("ROS_DOMAIN_ID");
    if (text == nullptr || *text == '\0') return 0;
    char *end = nullptr;
    errno = 0;
    const long domain = std::strtol(text, &end, 10);
    // 232 is the largest domain whose ports fit below 65536 by the DDS port mapping.
    if (*end != '\0' || errno != 0 || domain < 0 || domain > 232) {
        throw std::runtime_error(std::string("ROS_DOMAIN_ID: '") + text + "' is not a domain id from 0 to 232");
    }
    return static_cast<dds_domainid_t>(domain);
}

dds_entity_t require_dds(dds_entity_t result, const char *what) {
    if (result < 0) throw std::runtime_error(std::string(what) + ": " + dds_strretcode(result));
    return result;
}

Participant::Participant()
    : participant_(require_dds(dds_create_participant(ros_domain(), nullptr, nullptr), "dds_create_participant")) {}

Participant::~Participant() { dds_delete(participant_); }

dds_entity_t Participant::topic(const dds_topic_descriptor_t &type, const std::string &dds_topic) {
    return require_dds(dds_create_topic(participant_, &type, dds_topic.c_str(), nullptr, nullptr), dds_topic.c_str());
}

namespace {

std::unique_ptr<dds_qos_t, void (*)(dds_qos_t *)> make_qos(Qos kind) {
    std::unique_ptr<dds_qos_t, void (*)(dds_qos_t *)> qos(dds_create_qos(), dds_delete_qos);
    dds_qset_reliability(qos.get(), DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
    dds_qset_durability(qos.get(), DDS_DURABILITY_VOLATILE);
    dds_qset_history(qos.get(), DDS_HISTORY_KEEP_LAST,
                     kind == Qos::ros_default ? 10 : kind == Qos::ros_backlog ? 1000 : 1);
    return qos;
}

}  // namespace

dds_entity_t Participant::reader(const dds_topic_descriptor_t &type, const std::string &dds_topic, Qos qos) {
    return require_dds(dds_create_reader(participant_, topic(type, dds_topic), make_qos(qos).get(), nullptr),
                       dds_topic.c_str());
}

dds_entity_t Participant::writer(const dds_topic_descriptor_t &type, const std::string &dds_topic, Qos qos) {
    return require_dds(dds_create_writer(participant_, topic(type, dds_topic), make_qos(qos).get(), nullptr),
                       dds_topic.c_str());
}

}  // namespace kestrel_ros2
