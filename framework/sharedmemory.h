// CSharedMemory: a named block of shared memory with a named mutex ("Mutex" + name) that
// serialises the processes using it; whole-block load and save.
#pragma once

#include <string>

#include "pal/windows.h"

class CSharedMemory {
public:
    CSharedMemory();
    // Copies refer to the same mapping and mutex through handles and a view of their own,
    // so each copy can close what it holds. A copy starts holding no lock.
    CSharedMemory(const CSharedMemory& other);
    CSharedMemory& operator=(const CSharedMemory& other);
    virtual ~CSharedMemory();

    // 0 created, 183 opened an existing block, -1 on error. A non-zero owner takes the
    // mutex before returning.
    int Open(const char* name, DWORD size, int owner);
    // Gives back the locks this object still holds, then closes view, mapping and mutex.
    void Close();
    // 0 held, 258 time-out, -1 error.
    int Lock(DWORD timeout);
    void Release();
    void Load(void* dest);
    void Save(const void* src);

    const char* GetName() const { return m_strName.c_str(); }
    LPVOID GetView() const { return m_pView; }
    DWORD GetSize() const { return m_dwSize; }
    LONG GetLockCount() const { return m_lLockCount; }

private:
    void CopyFrom(const CSharedMemory& other);

    std::string m_strName;
    HANDLE m_hMapping;
    LPVOID m_pView;
    DWORD m_dwSize;
    HANDLE m_hMutex;
    LONG m_lLockCount;
};
