#include "monitor/detail/UserDirectories.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace vorn::monitor::detail {

namespace fs = std::filesystem;

fs::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return {};
}

fs::path programDirectory(const char* variable, const fs::path& fallback) {
    if (const char* value = std::getenv(variable); value != nullptr && fs::path(value).is_absolute()) {
        return fs::path(value) / "vorn-osc";
    }
    return homeDirectory() / fallback / "vorn-osc";
}

}  // namespace vorn::monitor::detail
