// The platform layer's Win32 surface in one include, for the suite's code.
#pragma once

#include "pal/types.h"
#include "pal/error/error.h"
#include "pal/handle/handle.h"
#include "pal/sync/sync.h"
#include "pal/thread/thread.h"
#include "pal/file/file.h"
#include "pal/map/map.h"
#include "pal/module/module.h"
#include "pal/security/security.h"
#include "pal/registry/registry.h"
#include "pal/eventlog/eventlog.h"
#include "pal/ini/ini.h"
#include "pal/env/env.h"
#include "pal/service/service.h"
#include "pal/device/device.h"
#include "pal/snmp/snmp.h"
