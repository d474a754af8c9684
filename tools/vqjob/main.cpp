// vqjob: sends a job request through the task controller and waits for its answer; lists,
// watches and steers the controller through its control pipe (see `vqjob --help` and
// docs/taskctrl.md).
#include <cstdio>

#include "tools/vqjob/cli.h"

int main(int argc, char** argv) { return vqjob::Run(argc, argv, stdout, stderr); }
