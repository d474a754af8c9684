// CEventRecordView: bounds-checked access to one event-log record as read from the log
// (EVENTLOGRECORD header, then names, SID, insertion strings and data). A record comes from
// a store other programs write, so no offset or length in it is trusted: every part is
// taken only where it lies wholly inside the record, and texts stop at the record's end.
#pragma once

#include <string>
#include <vector>

#include "pal/windows.h"

class CEventRecordView {
public:
    CEventRecordView(const BYTE* record, size_t length);

    bool Valid() const { return m_bValid; }
    const EVENTLOGRECORD& Header() const { return m_Header; }
    const std::string& SourceName() const { return m_strSource; }
    const std::string& ComputerName() const { return m_strComputer; }
    // The SID bytes, or null when the record has none (or it does not fit).
    const BYTE* Sid() const { return m_pSid; }
    DWORD SidLength() const { return m_dwSidLength; }
    // The insertion strings present (at most NumStrings; fewer when the record ends first).
    const std::vector<std::string>& Strings() const { return m_Strings; }
    const BYTE* Data() const { return m_pData; }
    DWORD DataLength() const { return m_dwDataLength; }

private:
    std::string TextAt(size_t offset, size_t* next) const;

    const BYTE* m_pRecord;
    size_t m_nLength;
    bool m_bValid;
    EVENTLOGRECORD m_Header;
    std::string m_strSource;
    std::string m_strComputer;
    const BYTE* m_pSid;
    DWORD m_dwSidLength;
    std::vector<std::string> m_Strings;
    const BYTE* m_pData;
    DWORD m_dwDataLength;
};
