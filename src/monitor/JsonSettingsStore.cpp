#include "monitor/JsonSettingsStore.h"

#include "monitor/detail/SettingsFile.h"
#include "monitor/detail/UserDirectories.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace vorn::monitor {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using detail::FileIdentity;

struct JsonSettingsStore::Document {
    // What the file held when last read, with this program's changes on top.
    Json json = Json::object();
    // The keys set here that the file does not hold yet.
    Json unsaved = Json::object();
    // The file as it was when last read; a different one is worth reading.
    std::optional<FileIdentity> seen;
};

namespace {

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

// What a look at the settings file found.
enum class Found { nothing, unreadable, blank, object, notAnObject };

Found readDocument(const fs::path& path, Json& json, int& error) {
    std::string text;
    error = detail::readWhole(path, text);
    if (error == ENOENT || error == ENOTDIR) {
        return Found::nothing;
    }
    if (error != 0) {
        return Found::unreadable;
    }
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
        return Found::blank;  // an empty file holds nothing worth keeping
    }
    json = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    return json.is_object() ? Found::object : Found::notAnObject;
}

}  // namespace

JsonSettingsStore::JsonSettingsStore(fs::path file, std::string program, Access access)
    : path_(std::move(file)), program_(std::move(program)), access_(access), document_(std::make_unique<Document>()) {
    load();
}

JsonSettingsStore::~JsonSettingsStore() = default;

fs::path JsonSettingsStore::defaultPath() {
    return detail::programDirectory("XDG_CONFIG_HOME", ".config") / "settings.json";
}

std::string JsonSettingsStore::said() const {
    return program_ + ": ";
}

void JsonSettingsStore::load() {
    document_->seen = detail::identityOf(path_);
    Json parsed;
    int error = 0;
    Found found = readDocument(path_, parsed, error);
    if (found == Found::unreadable) {
        // Whatever is there, we could not look at it, so we must not
        // overwrite it either.
        mustNotWrite_ = true;
        std::cerr << said() << "cannot read the settings file " << path_.string() << "; using the defaults"
                  << (access_ == Access::readWrite ? ", and changes will not be saved" : "") << '\n';
        return;
    }
    if (found == Found::notAnObject && access_ == Access::readWrite) {
        // Another program may have just replaced it; look again where no
        // other writer can come in between, before moving anything.
        const detail::FileLock lock(detail::writeTarget(path_));
        document_->seen = detail::identityOf(path_);
        found = readDocument(path_, parsed, error);
    }
    if (found == Found::object) {
        document_->json = std::move(parsed);
        return;
    }
    if (found != Found::notAnObject) {
        return;
    }
    if (access_ == Access::readOnly) {
        std::cerr << said() << "the settings file " << path_.string() << " is not a JSON object; using the defaults\n";
        return;
    }
    std::string why;
    if (auto aside = detail::moveAside(detail::writeTarget(path_), why)) {
        document_->seen.reset();
        std::cerr << said() << "the settings file " << path_.string() << " is not a JSON object; moved it to "
                  << aside->string() << " and using the defaults\n";
    } else {
        mustNotWrite_ = true;
        std::cerr << said() << "the settings file " << path_.string()
                  << " is not a JSON object and could not be moved aside (" << why
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
    Json json = toJson(value);
    document_->json[std::string(key)] = json;
    document_->unsaved[std::string(key)] = std::move(json);
    save();
}

bool JsonSettingsStore::refresh() {
    std::lock_guard lock(mutex_);
    const auto identity = detail::identityOf(path_);
    if (!identity || identity == document_->seen) {
        // A file that went away takes nothing with it: the values in use
        // stay, and the next write puts them all back.
        return false;
    }
    document_->seen = identity;
    Json parsed;
    int error = 0;
    if (readDocument(path_, parsed, error) != Found::object) {
        // Half written by an editor, or broken: keep what we have until the
        // file changes again.
        return false;
    }
    // A file we can read now holds nothing that a write would destroy.
    mustNotWrite_ = false;
    parsed.update(document_->unsaved);
    if (parsed == document_->json) {
        return false;
    }
    document_->json = std::move(parsed);
    return true;
}

void JsonSettingsStore::save() {
    if (access_ == Access::readOnly || mustNotWrite_) {
        return;
    }
    std::string failure;
    try {
        const fs::path target = detail::writeTarget(path_);
        const detail::FileLock lock(target);
        // On top of what the file holds now, so that what other programs
        // wrote since we read it stays; the file is not taken into our own
        // view here but by the next refresh(), which then tells of it.
        Json merged;
        int error = 0;
        switch (readDocument(target, merged, error)) {
            case Found::object:
                break;
            case Found::unreadable:
                failure = std::string("cannot read it first: ") + std::strerror(error);
                break;
            case Found::notAnObject: {
                std::string why;
                if (auto aside = detail::moveAside(target, why)) {
                    std::cerr << said() << "the settings file " << path_.string()
                              << " is no longer a JSON object; moved it to " << aside->string() << '\n';
                } else {
                    failure = "it is not a JSON object and could not be moved aside (" + why + ")";
                }
                merged = document_->json;
                break;
            }
            case Found::nothing:
            case Found::blank:
                // Gone or emptied: write back everything we know.
                merged = document_->json;
                break;
        }
        if (failure.empty()) {
            merged.update(document_->unsaved);
            // Texts are not checked for valid UTF-8 on the way in; replace
            // what is not, rather than lose the whole file.
            failure = detail::replaceAtomically(target,
                                                merged.dump(2, ' ', false, Json::error_handler_t::replace) + "\n");
        }
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (failure.empty()) {
        document_->unsaved = Json::object();
        writeFailureReported_ = false;
        return;
    }
    if (!writeFailureReported_) {
        writeFailureReported_ = true;
        std::cerr << said() << "cannot save the settings to " << path_.string() << ": " << failure
                  << "; changes are kept until the program ends\n";
    }
}

}  // namespace vorn::monitor
