// Pieces of the chain a test build can switch off (--switch-off NAME, only
// in kestrel_sim_switchable), to show that each verdict fails without the
// piece it rests on. A shipped kestrel_sim has every piece on, always.
#ifndef KESTREL_SIM_SWITCHES_H
#define KESTREL_SIM_SWITCHES_H

#include <string_view>

namespace kestrel_sim {

struct Switches {
    bool monitor = true;   // the actuator side's monitor checks the measured motion
    bool guard = true;     // the guard checks each frame before it is used
    bool limiters = true;  // both sides' joint limiters shape the commands
    bool watchdog = true;  // the watchdog's expiry stops the arm
    bool brake = true;     // the holding brakes engage with the torque off

    // Switches `name` off; false for an unknown name.
    bool switch_off(std::string_view name) {
        bool *piece = name == "monitor"    ? &monitor
                      : name == "guard"    ? &guard
                      : name == "limiters" ? &limiters
                      : name == "watchdog" ? &watchdog
                      : name == "brake"    ? &brake
                                           : nullptr;
        if (piece) *piece = false;
        return piece != nullptr;
    }
};

}  // namespace kestrel_sim

#endif
