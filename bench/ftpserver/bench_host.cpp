// Runs the FTP server from the command line, for the benchmark.
#include "osprel.h"

int main(int argc, char **argv) { return ServerMain(argc, argv); }
