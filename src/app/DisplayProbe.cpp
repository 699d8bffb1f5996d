#include "app/DisplayProbe.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace vorn::app {
namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

// Whether the X server named by `display` accepts a connection. True when
// the X client library is not there to ask: then Qt's X platform is not
// either, and Qt says so itself.
bool xDisplayOpens(const std::string& display) {
    void* library = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        return true;
    }
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    auto connect = reinterpret_cast<Connect>(::dlsym(library, "xcb_connect"));
    auto hasError = reinterpret_cast<HasError>(::dlsym(library, "xcb_connection_has_error"));
    auto disconnect = reinterpret_cast<Disconnect>(::dlsym(library, "xcb_disconnect"));
    bool opens = true;
    if (connect != nullptr && hasError != nullptr && disconnect != nullptr) {
        int screen = 0;
        void* connection = connect(display.c_str(), &screen);
        opens = hasError(connection) == 0;
        // A failed connection is an object too, and is freed the same way.
        disconnect(connection);
    }
    ::dlclose(library);
    return opens;
}

// Whether a Wayland compositor listens on the socket `display` names.
bool waylandDisplayOpens(const std::string& display) {
    if (!environment("WAYLAND_SOCKET").empty()) {
        return true;  // handed over already connected
    }
    std::string path = display;
    if (path.empty() || path.front() != '/') {
        const std::string runtime = environment("XDG_RUNTIME_DIR");
        if (runtime.empty()) {
            return true;  // nowhere to look; Qt will say what it finds
        }
        path = runtime + "/" + (display.empty() ? std::string("wayland-0") : display);
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return true;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return true;
    }
    const bool opens = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return opens;
}

std::string cannotOpen(const std::string& display) {
    return "cannot open display \"" + display + "\"";
}

}  // namespace

std::optional<std::string> displayProblem() {
    const std::string x = environment("DISPLAY");
    const std::string wayland = environment("WAYLAND_DISPLAY");
    const std::string platforms = environment("QT_QPA_PLATFORM");

    if (!platforms.empty()) {
        // "xcb", "wayland;xcb", "offscreen:size=...": Qt tries each in turn.
        std::string_view rest = platforms;
        std::string failed;
        while (!rest.empty()) {
            const std::size_t end = rest.find(';');
            std::string_view entry = rest.substr(0, end);
            rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
            const std::string_view name = entry.substr(0, entry.find(':'));
            if (name == "xcb") {
                if (!x.empty() && xDisplayOpens(x)) {
                    return std::nullopt;
                }
                failed = x.empty() ? std::string() : x;
            } else if (name.starts_with("wayland")) {
                if (waylandDisplayOpens(wayland)) {
                    return std::nullopt;
                }
                failed = wayland.empty() ? std::string("wayland-0") : wayland;
            } else if (!name.empty()) {
                return std::nullopt;  // not a display this can check
            }
        }
        return failed.empty() ? std::optional<std::string>("no display") : cannotOpen(failed);
    }

    if (x.empty() && wayland.empty()) {
        return "no display";
    }
    if (!x.empty() && xDisplayOpens(x)) {
        return std::nullopt;
    }
    if (!wayland.empty() && waylandDisplayOpens(wayland)) {
        return std::nullopt;
    }
    return cannotOpen(!x.empty() ? x : wayland);
}

}  // namespace vorn::app
