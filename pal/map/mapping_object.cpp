// The block is made inside the namespace's creation callback, which runs under the
// namespace lock: an opener that finds the name always finds the whole block. Commit
// happens there too (fallocate), so a full disk fails the creation as an exhausted paging
// file would, instead of killing a writer later with SIGBUS.
#include "pal/map/mapping_object.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "pal/core/root.h"
#include "pal/error/error.h"

namespace pal {

namespace {

struct BlockInit {
    uint64_t size;
    int* fd;  // out: the new block's descriptor
};

DWORD CommitError(int err) {
    // The paging file is full, as far as the caller can tell.
    if (err == ENOSPC || err == EDQUOT || err == EFBIG) return ERROR_NOT_ENOUGH_MEMORY;
    return ErrorFromErrno(err);
}

DWORD MakeBlock(core::Object& obj, const void* arg) {
    const auto* init = static_cast<const BlockInit*>(arg);
    obj.u.map.size = init->size;
    std::string path = core::MappingPath(core::IndexOf(obj), obj.gen);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) {
        // The object is brand new, so a file of its index and generation is a leftover.
        unlink(path.c_str());
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    }
    if (fd < 0) return CommitError(errno);
    int rc = ftruncate(fd, static_cast<off_t>(init->size)) == 0 ? 0 : errno;
    if (rc == 0) rc = posix_fallocate(fd, 0, static_cast<off_t>(init->size));
    if (rc != 0) {
        close(fd);
        unlink(path.c_str());
        return CommitError(rc);
    }
    *init->fd = fd;
    return 0;
}

}  // namespace

MappingObject::~MappingObject() {
    if (fd_ >= 0) close(fd_);
}

DWORD MappingObject::Create(const char* name, uint64_t size, DWORD access, std::shared_ptr<MappingObject>& out,
                            bool& existed) {
    if (size == 0) return ERROR_INVALID_PARAMETER;
    if (size > static_cast<uint64_t>(INT64_MAX)) return ERROR_NOT_ENOUGH_MEMORY;
    if (!core::Attach()) return GetLastError();
    core::MakeDirs(core::StateDir() + "/map");
    int fd = -1;
    BlockInit init{size, &fd};
    core::ObjectRef ref;
    DWORD err = core::CreateObject(core::ObjType::Mapping, name, MakeBlock, &init, ref, existed);
    if (err) return err;
    if (existed) return Attach(std::move(ref), access, out);
    out = std::make_shared<MappingObject>(std::move(ref), fd, size, access);
    return 0;
}

DWORD MappingObject::Open(const char* name, DWORD access, std::shared_ptr<MappingObject>& out) {
    core::ObjectRef ref;
    DWORD err = core::OpenObject(core::ObjType::Mapping, name, ref);
    if (err) return err;
    return Attach(std::move(ref), access, out);
}

DWORD MappingObject::Attach(core::ObjectRef ref, DWORD access, std::shared_ptr<MappingObject>& out) {
    uint64_t size = 0;
    std::string path;
    {
        core::RegionLock lock;
        const core::Object* obj = lock.Get(ref.index());
        if (!obj || obj->type != core::ObjType::Mapping) return ERROR_INVALID_HANDLE;
        size = obj->u.map.size;
        path = core::MappingPath(ref.index(), obj->gen);
    }
    // The reference held keeps the block (and so its file) in place from here on.
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return ErrorFromErrno(errno);
    out = std::make_shared<MappingObject>(std::move(ref), fd, size, access);
    return 0;
}

}  // namespace pal
