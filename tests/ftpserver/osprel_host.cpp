// Stands in for the monitor: hands its command line to ServerMain, as a
// host's task thread would, and exits with its result.
#include "osprel.h"

int main(int argc, char **argv) { return ServerMain(argc, argv); }
