// Fuzz target: arbitrary bytes as the firmware view (at physical 0xF0000) for the serial
// number walk and the BIOS signature search. The bytes end at an inaccessible page, so a
// read past the view faults even where the build has no address sanitizer.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "gatherer/biosversion.h"
#include "gatherer/firmwarearea.h"

namespace {

// The input copied to the end of a private mapping followed by a PROT_NONE page.
class FencedCopy {
public:
    FencedCopy(const uint8_t* data, size_t size) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        pages_ = (size + page - 1) / page * page + page;
        base_ = static_cast<uint8_t*>(mmap(nullptr, pages_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (base_ == MAP_FAILED) __builtin_trap();
        uint8_t* fence = base_ + pages_ - page;
        mprotect(fence, page, PROT_NONE);
        view_ = fence - size;
        if (size) std::memcpy(view_, data, size);
    }
    ~FencedCopy() { munmap(base_, pages_); }
    const uint8_t* view() const { return view_; }

private:
    uint8_t* base_ = nullptr;
    size_t pages_ = 0;
    uint8_t* view_ = nullptr;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FencedCopy copy(data, size);
    std::string serial;
    if (mordane::FindSmbiosSerial(copy.view(), size, mordane::kFirmwareAreaBase, serial)) {
        // A serial is a whole, non-empty string of the view.
        if (serial.empty() || serial.find('\0') != std::string::npos) __builtin_trap();
        if (std::string(reinterpret_cast<const char*>(data), size).find(serial + '\0') == std::string::npos)
            __builtin_trap();
    }
    std::string text;
    if (mordane::FindSignatureText(copy.view(), size, mordane::kBiosSignature, text)) {
        if (text.compare(0, 7, mordane::kBiosSignature) != 0 || text.find('\0') != std::string::npos) __builtin_trap();
    }
    return 0;
}
