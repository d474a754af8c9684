// The agent's reading of a trap request: any process on the machine may write the shared
// block, so every byte of it is untrusted. The input is the block's header (268 bytes)
// followed by as many 2312-byte entries as it holds; the rest of the record stays zero.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "snmpext/internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto record = std::make_unique<norvik::TrapInfo>();
    std::memset(static_cast<void*>(record.get()), 0, sizeof(norvik::TrapInfo));
    std::memcpy(static_cast<void*>(record.get()), data, size < sizeof(norvik::TrapInfo) ? size : sizeof(norvik::TrapInfo));
    if (record->enterprise[0] == 0) return 0;  // the agent refuses an empty enterprise first
    AsnObjectIdentifier enterprise{};
    SnmpVarBindList bindings{};
    std::string why;
    if (norvik::BuildTrap(*record, &enterprise, &bindings, &why)) {
        SnmpUtilOidFree(&enterprise);
        SnmpUtilVarBindListFree(&bindings);
    }
    return 0;
}
