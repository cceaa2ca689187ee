#pragma once

namespace phonesim {

// `phonesim machine`: a simulated machine with whole phones, driven by lines
// on standard input (see its --help).
int runMachineCommand(int argc, char** argv);

}  // namespace phonesim
