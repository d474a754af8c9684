// Device stand-ins for the terminal's kernel drivers, opened as "\\.\NAME".
#pragma once

#include "pal/types.h"
