// A handle's view of a file-mapping object: its reference in the object namespace, an open
// descriptor of the block's backing file, the block's size and the access the handle grants.
#pragma once

#include <memory>

#include "pal/core/region.h"
#include "pal/handle/handle.h"

namespace pal {

class MappingObject : public KernelObject {
public:
    // Creates a zero-filled block of size bytes, or opens the one of that name (existed
    // set). access is the SECTION_* rights of the new handle. Returns 0 or a Win32 error.
    static DWORD Create(const char* name, uint64_t size, DWORD access, std::shared_ptr<MappingObject>& out,
                        bool& existed);
    // Opens the block of that name: 0, ERROR_FILE_NOT_FOUND, ERROR_INVALID_HANDLE ...
    static DWORD Open(const char* name, DWORD access, std::shared_ptr<MappingObject>& out);

    MappingObject(core::ObjectRef ref, int fd, uint64_t size, DWORD access)
        : ref_(std::move(ref)), fd_(fd), size_(size), access_(access) {}
    ~MappingObject() override;
    MappingObject(const MappingObject&) = delete;
    MappingObject& operator=(const MappingObject&) = delete;

    int fd() const { return fd_; }
    uint64_t size() const { return size_; }
    DWORD access() const { return access_; }

private:
    // Takes the existing block behind ref: reads its size and opens its backing file.
    static DWORD Attach(core::ObjectRef ref, DWORD access, std::shared_ptr<MappingObject>& out);

    core::ObjectRef ref_;
    int fd_;
    uint64_t size_;
    DWORD access_;
};

}  // namespace pal
