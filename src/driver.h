// The whole control flow of one idferry run: the command line, the run
// context, then the phases that the mode selects, in one fixed order. The
// driver owns every object of the run, maps each outcome to an exit status
// and decides what goes to standard output (results for the operator) and
// what to standard error (errors and, with --verbose, progress lines).
#ifndef IDFERRY_SRC_DRIVER_H_
#define IDFERRY_SRC_DRIVER_H_

#include "src/exit_status.h"

// Runs idferry over main's arguments and returns the process exit status.
int run_idferry(int argc, char** argv);

#endif  // IDFERRY_SRC_DRIVER_H_
