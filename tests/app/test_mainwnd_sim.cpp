// The controller simulator, compiled into the application test program, which
// links no simulator library of its own. Should the program ever link one, this
// object already defines every symbol the library would be searched for, so the
// library's copy is never pulled in twice.
#include "sim/core/sim_controller.cpp"
