// A handle's view of an event, mutex or semaphore in the shared object namespace.
#pragma once

#include "pal/core/region.h"
#include "pal/handle/handle.h"

namespace pal {

class SyncObject : public KernelObject {
public:
    SyncObject(core::ObjType type, core::ObjectRef ref) : type_(type), ref_(std::move(ref)) {}
    uint32_t WaitIndex() const override { return ref_.index(); }
    core::ObjType type() const { return type_; }
    uint32_t index() const { return ref_.index(); }

private:
    core::ObjType type_;
    core::ObjectRef ref_;
};

}  // namespace pal
