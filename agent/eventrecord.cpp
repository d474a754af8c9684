#include "agent/eventrecord.h"

#include <cstring>

CEventRecordView::CEventRecordView(const BYTE* record, size_t length)
    : m_pRecord(record),
      m_nLength(length),
      m_bValid(false),
      m_Header{},
      m_pSid(nullptr),
      m_dwSidLength(0),
      m_pData(nullptr),
      m_dwDataLength(0) {
    if (!record || length < sizeof(EVENTLOGRECORD)) return;
    std::memcpy(&m_Header, record, sizeof m_Header);
    // The record's own length may claim less than we hold, never more.
    if (m_Header.Length >= sizeof(EVENTLOGRECORD) && m_Header.Length < m_nLength) m_nLength = m_Header.Length;
    m_bValid = true;
    size_t next = sizeof(EVENTLOGRECORD);
    m_strSource = TextAt(next, &next);
    m_strComputer = TextAt(next, &next);
    const size_t sidOff = m_Header.UserSidOffset, sidLen = m_Header.UserSidLength;
    // A SID is at least its 8-byte header, and its sub-authorities must fit what it claims.
    if (sidLen >= 8 && sidOff >= sizeof(EVENTLOGRECORD) && sidOff <= m_nLength && sidLen <= m_nLength - sidOff &&
        8u + 4u * record[sidOff + 1] <= sidLen) {
        m_pSid = record + sidOff;
        m_dwSidLength = static_cast<DWORD>(sidLen);
    }
    size_t at = m_Header.StringOffset;
    for (WORD i = 0; i < m_Header.NumStrings && at >= sizeof(EVENTLOGRECORD) && at < m_nLength; ++i)
        m_Strings.push_back(TextAt(at, &at));
    const size_t dataOff = m_Header.DataOffset, dataLen = m_Header.DataLength;
    if (dataLen > 0 && dataOff >= sizeof(EVENTLOGRECORD) && dataOff <= m_nLength && dataLen <= m_nLength - dataOff) {
        m_pData = record + dataOff;
        m_dwDataLength = static_cast<DWORD>(dataLen);
    }
}

std::string CEventRecordView::TextAt(size_t offset, size_t* next) const {
    if (offset >= m_nLength) {
        *next = m_nLength;
        return {};
    }
    const char* start = reinterpret_cast<const char*>(m_pRecord + offset);
    const size_t len = strnlen(start, m_nLength - offset);
    *next = offset + len + 1;
    return std::string(start, len);
}
