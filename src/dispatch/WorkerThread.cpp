#include "dispatch/WorkerThread.h"

#include <pthread.h>

#include <cstdio>
#include <exception>
#include <string>

namespace vorn::dispatch::detail {

void nameCurrentThread(std::string_view name) noexcept {
    try {
        const std::string shortName(name.substr(0, 15));
        pthread_setname_np(pthread_self(), shortName.c_str());
    } catch (...) {
        // A nameless thread works just as well.
    }
}

void reportUncaughtException(std::string_view queueLabel) noexcept {
    const int labelLength = static_cast<int>(queueLabel.size());
    try {
        throw;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vorn: a task on %.*s threw: %s\n", labelLength, queueLabel.data(), error.what());
    } catch (...) {
        std::fprintf(stderr, "vorn: a task on %.*s threw a non-standard exception\n", labelLength,
                     queueLabel.data());
    }
}

}  // namespace vorn::dispatch::detail
