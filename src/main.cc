// idferry: moves every user account of one single-sign-on instance into
// another. All of the logic lives in the library; see src/driver.h.
#include "src/driver.h"

int main(int argc, char** argv) { return run_idferry(argc, argv); }
