// mordane: the hardware information gatherer service. It takes no arguments; SIGTERM
// (or "vqsc stop Mordane") stops it.
#include "gatherer/service.h"

int main() { return mordane::RunService(); }
