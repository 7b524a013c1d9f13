// kestrel_sim's command line.
#ifndef KESTREL_SIM_OPTIONS_H
#define KESTREL_SIM_OPTIONS_H

#include <cstdint>
#include <string>

#include "simulated_link.h"
#include "robot.h"
#include "scenario.h"
#include "switches.h"

namespace kestrel_sim {

struct Options {
    Scenario scenario = Scenario::nominal;
    std::string csv;          // or empty
    std::string model;        // the plant
    std::string drive_model;  // the drive's model of the plant; empty: the plant's own file
    RobotSource robot;
    LinkConfig link;         // delay, jitter, drop and seed; the scenario adds the rest
    double duration = 10.0;  // s
    Switches switches;
};

// Parses the command line; prints the help and exits 0 for --help, prints
// the fault and the usage and exits 2 for anything it cannot use.
Options parse_options(int argc, char **argv);

}  // namespace kestrel_sim

#endif
