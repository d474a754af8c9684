// Kernel uevent datagrams: parsing, classifying and receiving (see devices.h).
#include <linux/netlink.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "pal/window/devices.h"

namespace pal::window {

std::optional<Uevent> ParseUevent(const char* data, size_t size) {
    if (data == nullptr || size == 0) return std::nullopt;
    Uevent event;
    std::string_view headerAction;
    bool first = true, sawAction = false;
    size_t pos = 0;
    while (pos < size) {
        const char* start = data + pos;
        const void* nul = std::memchr(start, '\0', size - pos);
        size_t len = nul ? static_cast<size_t>(static_cast<const char*>(nul) - start) : size - pos;
        std::string_view field(start, len);
        pos += len + 1;
        if (first) {
            first = false;
            size_t at = field.find('@');
            if (at == std::string_view::npos || at == 0 || at + 1 == field.size()) return std::nullopt;
            headerAction = field.substr(0, at);
            continue;
        }
        size_t eq = field.find('=');
        if (eq == std::string_view::npos || eq == 0) continue;  // not a KEY=VALUE field
        std::string_view key = field.substr(0, eq), value = field.substr(eq + 1);
        if (key == "ACTION") {
            event.action.assign(value);
            sawAction = true;
        } else if (key == "SUBSYSTEM") {
            event.subsystem.assign(value);
        } else if (key == "DEVTYPE") {
            event.devtype.assign(value);
        }
    }
    if (!sawAction)
        event.action.assign(headerAction);
    else if (event.action != headerAction)
        return std::nullopt;
    return event;
}

UsbChange ClassifyUevent(const Uevent& event) {
    if (event.subsystem != "usb" || event.devtype != "usb_device") return UsbChange::None;
    if (event.action == "remove") return UsbChange::Removal;
    if (event.action == "add") return UsbChange::Arrival;
    return UsbChange::None;
}

std::optional<UsbChange> ReceiveUevent(int fd, bool kernelOnly) {
    char buf[8192];
    union {
        sockaddr_nl nl;
        sockaddr_storage any;
    } from{};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = recvmsg(fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return std::nullopt;
    if (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) return UsbChange::None;
    if (kernelOnly) {
        if (msg.msg_namelen < sizeof(sockaddr_nl) || from.nl.nl_family != AF_NETLINK || from.nl.nl_pid != 0)
            return UsbChange::None;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_CREDENTIALS) continue;
            ucred cred;
            std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
            if (cred.pid != 0) return UsbChange::None;
        }
    }
    auto event = ParseUevent(buf, static_cast<size_t>(n));
    return event ? ClassifyUevent(*event) : UsbChange::None;
}

}  // namespace pal::window
