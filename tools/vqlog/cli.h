// vqlog: prints the framework's application-log ring files in write order.
#pragma once

#include <cstdio>

namespace vqlog {

// Runs one command line; returns the exit status (0 done, 1 failed, 2 bad usage).
// --follow catches SIGINT and SIGTERM and returns 0 after them.
int Run(int argc, char** argv, FILE* out, FILE* err);

}  // namespace vqlog
