// File mappings backed by the paging file, shared by name across the processes of the
// machine root, and the views that map them into memory.
//
// A mapping is a block of exactly the size asked for, zero-filled at creation, living in
// the object namespace like events and mutexes (one namespace for all named kernel
// objects). Its data sit in a file under $VQ_ROOT/.vq/map/ that views map MAP_SHARED, so
// every process sees every write at once. The block goes away when the last handle and
// the last view in every process are gone, also when the holder was killed.
//
// Limits of this implementation:
// - Only paging-file mappings (hFile == INVALID_HANDLE_VALUE). Mapping an open file fails
//   with ERROR_NOT_SUPPORTED.
// - The page protection given at creation limits the creator's handle only; handles opened
//   later get the access they ask for.
// - SEC_* flags are accepted and ignored (the whole block is committed at creation).
#pragma once

#include "pal/error/error.h"
#include "pal/types.h"

#define PAGE_NOACCESS 0x01u
#define PAGE_READONLY 0x02u
#define PAGE_READWRITE 0x04u
#define PAGE_WRITECOPY 0x08u
#define PAGE_EXECUTE 0x10u
#define PAGE_EXECUTE_READ 0x20u
#define PAGE_EXECUTE_READWRITE 0x40u
#define PAGE_EXECUTE_WRITECOPY 0x80u

#define SEC_IMAGE 0x01000000u
#define SEC_RESERVE 0x04000000u
#define SEC_COMMIT 0x08000000u
#define SEC_NOCACHE 0x10000000u

#define SECTION_QUERY 0x0001u
#define SECTION_MAP_WRITE 0x0002u
#define SECTION_MAP_READ 0x0004u
#define SECTION_MAP_EXECUTE 0x0008u
#define SECTION_EXTEND_SIZE 0x0010u
#define SECTION_ALL_ACCESS 0x000F001Fu

#define FILE_MAP_COPY 0x0001u
#define FILE_MAP_WRITE 0x0002u
#define FILE_MAP_READ 0x0004u
#define FILE_MAP_EXECUTE 0x0020u
#define FILE_MAP_ALL_ACCESS SECTION_ALL_ACCESS

#define MEM_COMMIT 0x00001000u
#define MEM_RESERVE 0x00002000u
#define MEM_FREE 0x00010000u
#define MEM_PRIVATE 0x00020000u
#define MEM_MAPPED 0x00040000u
#define MEM_IMAGE 0x01000000u

// The 64-bit layout (48 bytes).
typedef struct _MEMORY_BASIC_INFORMATION {
    PVOID BaseAddress;
    PVOID AllocationBase;
    DWORD AllocationProtect;
    WORD PartitionId;
    SIZE_T RegionSize;
    DWORD State;
    DWORD Protect;
    DWORD Type;
} MEMORY_BASIC_INFORMATION, *PMEMORY_BASIC_INFORMATION;

// Creates a block of (high:low) bytes, or opens the existing one of that name, whatever
// its size, with the last error ERROR_ALREADY_EXISTS (0 when new). Size 0 is
// ERROR_INVALID_PARAMETER; a name held by another kind of object ERROR_INVALID_HANDLE.
HANDLE CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES lpFileMappingAttributes, DWORD flProtect,
                          DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow, LPCSTR lpName);
// ERROR_FILE_NOT_FOUND when no mapping has that name.
HANDLE OpenFileMappingA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
#define CreateFileMapping CreateFileMappingA
#define OpenFileMapping OpenFileMappingA

// Maps bytes [offset, offset + length) (length 0: to the end of the block). The offset is
// a multiple of the allocation granularity (64 KiB) or ERROR_MAPPED_ALIGNMENT; a range
// past the end of the block is ERROR_ACCESS_DENIED, and so is access the handle lacks.
// The view keeps the mapping alive after its handle is closed.
LPVOID MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                     DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap);
// As above, at lpBaseAddress when not null (ERROR_INVALID_ADDRESS when that range is taken).
LPVOID MapViewOfFileEx(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                       DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap, LPVOID lpBaseAddress);
// Any address inside a view unmaps that view; other addresses: ERROR_INVALID_ADDRESS.
BOOL UnmapViewOfFile(LPCVOID lpBaseAddress);
BOOL FlushViewOfFile(LPCVOID lpBaseAddress, SIZE_T dwNumberOfBytesToFlush);

// Describes the pages from the one holding lpAddress onwards that share their attributes.
// For a view: the view's base as allocation base, MEM_MAPPED, and the rest of the view
// rounded up to whole pages. Returns the bytes written to lpBuffer, or 0.
SIZE_T VirtualQuery(LPCVOID lpAddress, PMEMORY_BASIC_INFORMATION lpBuffer, SIZE_T dwLength);

namespace pal {

// The block's real size in bytes (which an opener of an existing name cannot ask for).
BOOL GetMappingSize(HANDLE hFileMappingObject, uint64_t* size);

}  // namespace pal
