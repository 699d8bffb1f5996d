// An OSC server that is started and then left alone, for scripts/idle-cost
// to measure what waiting costs: ours, or liblo's server thread.
//
// Usage: bench-idle-server vorn|liblo [port]     (port 0, any free one, by default)
// Runs until it is signalled.

#include "net/OSCServer.h"

#include <lo/lo.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

namespace {

int runVorn(std::uint16_t port) {
    auto server = vorn::net::OSCServer::create(port, vorn::net::OSCTimeTagMode::osc1_0, nullptr,
                                               [](const auto&, const auto&, const auto&, auto) {});
    server->start();
    std::printf("vorn OSCServer on port %u\n", static_cast<unsigned>(server->boundPort()));
    std::fflush(stdout);
    for (;;) ::pause();
}

int runLiblo(std::uint16_t port) {
    const std::string service = port == 0 ? std::string() : std::to_string(port);
    lo_server_thread server =
        lo_server_thread_new_with_proto(service.empty() ? nullptr : service.c_str(), LO_UDP, nullptr);
    if (server == nullptr) {
        std::fprintf(stderr, "bench-idle-server: liblo could not open a server\n");
        return 1;
    }
    lo_server_thread_add_method(server, nullptr, nullptr,
                                [](const char*, const char*, lo_arg**, int, lo_message, void*) { return 0; }, nullptr);
    lo_server_thread_start(server);
    std::printf("liblo server thread on port %d\n", lo_server_thread_get_port(server));
    std::fflush(stdout);
    for (;;) ::pause();
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view which = argc > 1 ? argv[1] : "";
    const auto port = static_cast<std::uint16_t>(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 0);
    try {
        if (which == "vorn") return runVorn(port);
        if (which == "liblo") return runLiblo(port);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench-idle-server: %s\n", error.what());
        return 1;
    }
    std::fprintf(stderr, "usage: bench-idle-server vorn|liblo [port]\n");
    return 2;
}
