// The idferry-appcert program; everything it does is in appcert.cc.

#include <iostream>

#include "tools/appcert.h"

int main(int argc, char** argv) { return appcert_main(argc, argv, std::cout, std::cerr); }
