// Fuzz target: arbitrary bytes as a uevent datagram. Checks that the fields parsed come
// from within the input, and that a parsed event written back as a datagram parses to the
// same fields and the same classification.
#include <cstdint>
#include <string>
#include <string_view>

#include "pal/window/devices.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    auto event = pal::window::ParseUevent(text, size);
    if (!event) return 0;
    std::string_view input(text, size);
    for (const std::string* field : {&event->action, &event->subsystem, &event->devtype}) {
        if (field->size() > size || field->find('\0') != std::string::npos) __builtin_trap();
        if (!field->empty() && input.find(*field) == std::string_view::npos) __builtin_trap();
    }
    if (event->action.empty() || event->action.find('@') != std::string::npos) __builtin_trap();

    std::string again = event->action + "@/devices/fuzz";
    again += '\0';
    again += "ACTION=" + event->action;
    again += '\0';
    if (!event->subsystem.empty()) again += "SUBSYSTEM=" + event->subsystem + '\0';
    if (!event->devtype.empty()) again += "DEVTYPE=" + event->devtype + '\0';
    auto back = pal::window::ParseUevent(again.data(), again.size());
    if (!back || back->action != event->action || back->subsystem != event->subsystem ||
        back->devtype != event->devtype)
        __builtin_trap();
    if (pal::window::ClassifyUevent(*back) != pal::window::ClassifyUevent(*event)) __builtin_trap();
    return 0;
}
