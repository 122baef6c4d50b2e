#include <cstdio>

#include "host/host_run.h"

int main(int argc, char** argv) { return RunHost(argc, argv, stdout, stderr); }
