// Service control: the dispatcher, control handler and status reports on a Linux process.
#pragma once

#include "pal/types.h"
