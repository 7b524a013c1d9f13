// What happened to each joint in one period, for the CSV's event column:
// refusals, stop requests, the watchdog and the monitor, as short names
// joined by ';'.
#ifndef KESTREL_SIM_PERIOD_EVENTS_H
#define KESTREL_SIM_PERIOD_EVENTS_H

#include <stdexcept>
#include <string>
#include <vector>

#include "kestrel_error.h"

namespace kestrel_sim {

struct PeriodEvents {
    std::vector<std::string> joint;

    explicit PeriodEvents(size_t joints) : joint(joints) {}
    void add(size_t index, const std::string &event) {
        std::string &events = joint[index];
        if (!events.empty()) events += ';';
        events += event;
    }
    void add_all(const std::string &event) {
        for (size_t index = 0; index < joint.size(); ++index) add(index, event);
    }
    void clear() {
        for (std::string &events : joint) events.clear();
    }
};

// A Kestrel call that must succeed for the run to mean anything (set-up,
// the limiters): its failure ends the run with the call and the error named.
inline void require_ok(KestrelError error, const char *call) {
    if (error != KESTREL_OK) {
        throw std::runtime_error(std::string(call) + " failed: " + kestrel_error_name(error) + " (" +
                                 kestrel_error_message(error) + ")");
    }
}

}  // namespace kestrel_sim

#endif
