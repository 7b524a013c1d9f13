// What one role counted, by name: "commands_received", "refused_nan",
// "watchdog_expiries", ... Printed on exit and published on the status topic
// as one line, "ROLE name=value name=value ...", names in sorted order.
#ifndef KESTREL_ROS2_BRIDGE_COUNTS_HPP
#define KESTREL_ROS2_BRIDGE_COUNTS_HPP

#include <cstdint>
#include <map>
#include <string>

namespace kestrel_ros2 {

class Counts {
public:
    explicit Counts(std::string role) : role_(std::move(role)) {}
    void add(const std::string &name, uint64_t count = 1) { counts_[name] += count; }
    // A name shown from the start, at 0 until it is counted.
    void declare(const std::string &name) { counts_.try_emplace(name, 0); }
    void set(const std::string &name, uint64_t value) { counts_[name] = value; }
    std::string line() const {
        std::string text = role_;
        for (const auto &[name, count] : counts_) text += " " + name + "=" + std::to_string(count);
        return text;
    }

private:
    std::string role_;
    std::map<std::string, uint64_t> counts_;
};

}  // namespace kestrel_ros2

#endif
