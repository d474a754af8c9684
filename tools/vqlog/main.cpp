// vqlog: prints the framework's application-log ring files in write order, and with
// --follow keeps printing what the writers add. See docs/vqlog.md.
#include <cstdio>

#include "tools/vqlog/cli.h"

int main(int argc, char** argv) { return vqlog::Run(argc, argv, stdout, stderr); }
