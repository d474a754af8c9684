// vqtrial: lock holders and users, a trap sender and receiver, and an event writer for the
// reliability trials (scripts/trials.sh); vqtrial --help says more.
#include <string>
#include <vector>

#include "tools/vqtrial/cli.h"

int main(int argc, char** argv) { return vqtrial::Run(std::vector<std::string>(argv + 1, argv + argc)); }
