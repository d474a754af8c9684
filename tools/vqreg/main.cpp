// vqreg: the registry tool (see `vqreg --help` and docs/registry.md).
#include <cstdio>

#include "tools/vqreg/cli.h"

int main(int argc, char** argv) { return vqreg::Run(argc, argv, stdout, stderr); }
