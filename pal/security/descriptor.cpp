// Security descriptors: built and read back as on Windows, never enforced (objects here
// have no ACLs; the suite only asks for "null DACL" descriptors that allow everyone).
#include <cstring>

#include "pal/security/security.h"

namespace {

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// The descriptor if it is an absolute one of our revision, else null with the error set.
SECURITY_DESCRIPTOR* Absolute(PSECURITY_DESCRIPTOR p) {
    auto* sd = static_cast<SECURITY_DESCRIPTOR*>(p);
    if (!sd) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) {
        Fail(ERROR_UNKNOWN_REVISION);
        return nullptr;
    }
    if (sd->Control & SE_SELF_RELATIVE) {
        Fail(ERROR_INVALID_SECURITY_DESCR);
        return nullptr;
    }
    return sd;
}

}  // namespace

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
    if (!pSecurityDescriptor) return Fail(ERROR_INVALID_PARAMETER);
    if (dwRevision != SECURITY_DESCRIPTOR_REVISION) return Fail(ERROR_UNKNOWN_REVISION);
    std::memset(pSecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                               BOOL bDaclDefaulted) {
    SECURITY_DESCRIPTOR* sd = Absolute(pSecurityDescriptor);
    if (!sd) return FALSE;
    if (pDacl && pDacl->AclRevision != 2 && pDacl->AclRevision != 4) return Fail(ERROR_INVALID_ACL);
    sd->Control &= static_cast<WORD>(~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
    if (bDaclPresent) {
        sd->Control |= SE_DACL_PRESENT;
        if (bDaclDefaulted) sd->Control |= SE_DACL_DEFAULTED;
        sd->Dacl = pDacl;
    } else {
        sd->Dacl = nullptr;
    }
    return TRUE;
}

BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL lpbDaclPresent, PACL* pDacl,
                               LPBOOL lpbDaclDefaulted) {
    if (!lpbDaclPresent || !pDacl || !lpbDaclDefaulted) return Fail(ERROR_INVALID_PARAMETER);
    SECURITY_DESCRIPTOR* sd = Absolute(pSecurityDescriptor);
    if (!sd) return FALSE;
    *lpbDaclPresent = (sd->Control & SE_DACL_PRESENT) ? TRUE : FALSE;
    if (*lpbDaclPresent) {
        *pDacl = sd->Dacl;
        *lpbDaclDefaulted = (sd->Control & SE_DACL_DEFAULTED) ? TRUE : FALSE;
    }
    return TRUE;
}

BOOL IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor) {
    const auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    return sd && sd->Revision == SECURITY_DESCRIPTOR_REVISION;
}
