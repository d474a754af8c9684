// vqsc: queries and controls the services of the machine root (see `vqsc --help` and
// docs/service.md).
#include <cstdio>

#include "tools/vqsc/cli.h"

int main(int argc, char** argv) { return vqsc::Run(argc, argv, stdout, stderr); }
