// tessad-standin: a stand-in for a Tessad single-sign-on instance (see
// standin_config.h for the command line, standin_server.h for how it serves).

#include "tools/standin/standin_server.h"

int main(int argc, char** argv) { return standin::standin_main(argc, argv); }
