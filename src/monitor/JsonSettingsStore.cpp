#include "monitor/JsonSettingsStore.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <limits>
#include <pwd.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vorn::monitor {

namespace fs = std::filesystem;
using Json = nlohmann::json;

struct JsonSettingsStore::Document {
    Json json = Json::object();
};

namespace {

constexpr std::string_view logPrefix = "vorn-osc: ";

std::string errnoText(int error) {
    return std::strerror(error);
}

fs::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return {};
}

std::optional<SettingsValue> fromJson(const Json& json) {
    switch (json.type()) {
        case Json::value_t::boolean:
            return SettingsValue{json.get<bool>()};
        case Json::value_t::number_integer:
            return SettingsValue{json.get<std::int64_t>()};
        case Json::value_t::number_unsigned: {
            // Only integers beyond int64 arrive here; they stay numbers, as
            // near as a double gets.
            const auto value = json.get<std::uint64_t>();
            if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                return SettingsValue{static_cast<std::int64_t>(value)};
            }
            return SettingsValue{static_cast<double>(value)};
        }
        case Json::value_t::number_float:
            return SettingsValue{json.get<double>()};
        case Json::value_t::string:
            return SettingsValue{json.get<std::string>()};
        default:
            return std::nullopt;
    }
}

Json toJson(const SettingsValue& value) {
    return std::visit([](const auto& v) { return Json(v); }, value);
}

std::string timestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return text;
}

// Renames `from` to `<from>.bad-<time>` (with a counter if that is taken) and
// returns the new name; never replaces an existing file.
std::optional<fs::path> moveAside(const fs::path& from, std::string& error) {
    const std::string stem = from.string() + ".bad-" + timestamp();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path to = attempt == 0 ? fs::path(stem) : fs::path(stem + "-" + std::to_string(attempt));
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
            return to;
        }
        if (errno == EEXIST) {
            continue;
        }
        if (errno != EINVAL && errno != ENOSYS) {
            error = errnoText(errno);
            return std::nullopt;
        }
        // The file system cannot refuse to replace; look before renaming.
        std::error_code ec;
        if (fs::exists(to, ec) || ec) {
            continue;
        }
        fs::rename(from, to, ec);
        if (!ec) {
            return to;
        }
        error = ec.message();
        return std::nullopt;
    }
    error = "no free name to move it to";
    return std::nullopt;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Writes `contents` to a new file beside `target` and renames it over
// `target`. Returns an empty string on success, else why it failed.
std::string replaceAtomically(const fs::path& target, std::string_view contents) {
    fs::path folder = target.parent_path();
    if (folder.empty()) {
        folder = ".";
    }
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        return "cannot create " + folder.string() + ": " + ec.message();
    }

    mode_t mode = 0644;
    if (struct stat existing{}; ::stat(target.c_str(), &existing) == 0) {
        mode = existing.st_mode & 07777;
    }

    std::string temporary = (folder / ("." + target.filename().string() + ".tmp-XXXXXX")).string();
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        return "cannot create a file in " + folder.string() + ": " + errnoText(errno);
    }
    std::string failure;
    if (!writeAll(fd, contents)) {
        failure = errnoText(errno);
    } else if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) {
        failure = errnoText(errno);
    }
    if (::close(fd) != 0 && failure.empty()) {
        failure = errnoText(errno);
    }
    if (failure.empty() && ::rename(temporary.c_str(), target.c_str()) != 0) {
        failure = errnoText(errno);
    }
    if (!failure.empty()) {
        ::unlink(temporary.c_str());
        return failure;
    }
    // Make the rename itself durable; the data is already safe either way.
    if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return {};
}

}  // namespace

JsonSettingsStore::JsonSettingsStore(fs::path file)
    : path_(std::move(file)), document_(std::make_unique<Document>()) {
    load();
}

JsonSettingsStore::~JsonSettingsStore() = default;

fs::path JsonSettingsStore::defaultPath() {
    fs::path base;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && fs::path(config).is_absolute()) {
        base = config;
    } else {
        base = homeDirectory() / ".config";
    }
    return base / "vorn-osc" / "settings.json";
}

void JsonSettingsStore::load() {
    std::error_code ec;
    const auto status = fs::status(path_, ec);
    if (status.type() == fs::file_type::not_found) {
        return;
    }
    std::string text;
    {
        std::ifstream in(path_, std::ios::binary);
        std::ostringstream contents;
        if (in && !fs::is_directory(status)) {
            contents << in.rdbuf();
        }
        if (!in || fs::is_directory(status)) {
            // Whatever is there, we could not look at it, so we must not
            // overwrite it either.
            mustNotWrite_ = true;
            std::cerr << logPrefix << "cannot read the settings file " << path_.string()
                      << "; using the defaults, and changes will not be saved\n";
            return;
        }
        text = std::move(contents).str();
    }
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
        return;  // an empty file holds nothing worth keeping
    }

    Json parsed = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_object()) {
        document_->json = std::move(parsed);
        return;
    }
    std::string error;
    if (auto aside = moveAside(path_, error)) {
        std::cerr << logPrefix << "the settings file " << path_.string() << " is not a JSON object; moved it to "
                  << aside->string() << " and using the defaults\n";
    } else {
        mustNotWrite_ = true;
        std::cerr << logPrefix << "the settings file " << path_.string()
                  << " is not a JSON object and could not be moved aside (" << error
                  << "); using the defaults, and changes will not be saved\n";
    }
}

std::optional<SettingsValue> JsonSettingsStore::objectForKey(std::string_view key) const {
    std::lock_guard lock(mutex_);
    const auto found = document_->json.find(key);
    if (found == document_->json.end()) {
        return std::nullopt;
    }
    return fromJson(*found);
}

void JsonSettingsStore::setObject(SettingsValue value, std::string_view key) {
    std::lock_guard lock(mutex_);
    document_->json[std::string(key)] = toJson(value);
    save();
}

void JsonSettingsStore::save() {
    if (mustNotWrite_) {
        return;
    }
    std::string failure;
    try {
        // Texts are not checked for valid UTF-8 on the way in; replace what is
        // not, rather than lose the whole file.
        const std::string text = document_->json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
        fs::path target = path_;
        // Replace what a symbolic link points to, not the link.
        if (std::error_code ec; fs::is_symlink(path_, ec)) {
            if (auto resolved = fs::canonical(path_, ec); !ec) {
                target = std::move(resolved);
            }
        }
        failure = replaceAtomically(target, text);
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (failure.empty()) {
        writeFailureReported_ = false;
        return;
    }
    if (!writeFailureReported_) {
        writeFailureReported_ = true;
        std::cerr << logPrefix << "cannot save the settings to " << path_.string() << ": " << failure
                  << "; changes are kept until the program ends\n";
    }
}

}  // namespace vorn::monitor
