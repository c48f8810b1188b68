#include "app/StationConfig.h"

#include <sstream>

#include "platform/FileSystem.h"

namespace {

constexpr std::size_t kMaxConfigBytes = 64 * 1024;
constexpr std::size_t kMaxValue = 255;

std::string Trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool Printable(const std::string& text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool StationConfig::Parse(const std::string& text, StationConfig& out, std::string& error) {
    StationConfig config;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        const std::string content = Trimmed(line);
        if (content.empty() || content[0] == '#') {
            continue;
        }
        const std::size_t equals = content.find('=');
        const std::string where = "line " + std::to_string(number) + ": ";
        if (equals == std::string::npos) {
            error = where + "expected 'package = NAME' or 'serial = PATTERN'";
            return false;
        }
        const std::string key = Trimmed(content.substr(0, equals));
        const std::string value = Trimmed(content.substr(equals + 1));
        if (value.empty() || value.size() > kMaxValue || !Printable(value)) {
            error = where + "the value of " + key + " must be 1 to " + std::to_string(kMaxValue) +
                    " printable characters";
            return false;
        }
        if (key == "package") {
            if (value.find('/') != std::string::npos || value == "." || value == "..") {
                error = where + "package names a file in the packages directory, not a path";
                return false;
            }
            config.package = value;
        } else if (key == "serial") {
            config.serialPattern = value;
        } else {
            error = where + "unknown key '" + key + "'";
            return false;
        }
    }
    if (config.package.empty()) {
        error = "no 'package = NAME' line: the station does not know what to install";
        return false;
    }
    out = std::move(config);
    return true;
}

bool StationConfig::Load(const std::string& path, StationConfig& out, std::string& error) {
    std::string text;
    if (!platform::FileSystem::ReadAll(path, text, kMaxConfigBytes)) {
        error = "cannot read the station's configuration " + path;
        return false;
    }
    if (!Parse(text, out, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}
