// Helpers of the WMI tests: write devices/smart.conf as given (line order matters), and
// run a whole query the way the SMART monitor does.
#pragma once

#include <string>
#include <vector>

#include "pal/wmi/wbem.h"

namespace wmitest {

// Replaces $VQ_ROOT/devices/smart.conf with text (atomically); "" removes it.
void WriteSmartConf(const std::string& text);
// Writes a file under $VQ_ROOT/devices.
void WriteDevicesFile(const std::string& name, const std::vector<unsigned char>& bytes);

// COM for the calling thread, process security (once) and a connection to ROOT\WMI with
// the impersonation blanket. Releases and uninitialises on destruction.
class Connection {
public:
    Connection();
    ~Connection();
    HRESULT hr = S_OK;
    IWbemServices* svc = nullptr;
};

struct Drive {
    std::string instance;
    std::vector<unsigned char> vendor;
};

// "SELECT * FROM <cls>" with flags; every object's InstanceName and VendorSpecific.
// Returns the first failure (ExecQuery, Next or Get), or S_OK.
HRESULT Query(IWbemServices* svc, const wchar_t* cls, std::vector<Drive>& drives, LONG flags = 0);

}  // namespace wmitest
