// What one role counted, by name: "commands_received", "refused_nan",
// "watchdog_expiries", ... Printed on exit and published on the status topic
// as one line, "ROLE name=value name=value ...", names in sorted order.
// Counting runs every period: a name already counted is found without making
// a string of it, so only a name's first count allocates.
#ifndef KESTREL_ROS2_BRIDGE_COUNTS_HPP
#define KESTREL_ROS2_BRIDGE_COUNTS_HPP

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace kestrel_ros2 {

class Counts {
public:
    explicit Counts(std::string role) : role_(std::move(role)) {}
    void add(std::string_view name, uint64_t count = 1) { slot(name) += count; }
    // A name shown from the start, at 0 until it is counted.
    void declare(std::string_view name) { slot(name); }
    void set(std::string_view name, uint64_t value) { slot(name) = value; }
    std::string line() const {
        std::string text = role_;
        for (const auto &[name, count] : counts_) text += " " + name + "=" + std::to_string(count);
        return text;
    }

private:
    uint64_t &slot(std::string_view name) {
        const auto found = counts_.find(name);
        return found != counts_.end() ? found->second : counts_.emplace(std::string(name), 0).first->second;
    }

    std::string role_;
    std::map<std::string, uint64_t, std::less<>> counts_;
};

}  // namespace kestrel_ros2

#endif
