// The config.ini reader: lines, sections and keys; pure, run once at start.
#include "settings/ini_reader.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "settings/value_text.hpp"

namespace kinetra::config {
namespace {

// Every white-space character, not only the blanks between list items: a value runs to the
// end of its line, whatever trails it.
constexpr std::string_view kWhiteSpace = " \t\n\r\f\v";

std::string lowerCase(std::string_view text) {
    std::string lowered(text);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return lowered;
}

// Lines split at line feeds; CR and NUL bytes vanish wherever they stand.
std::vector<std::string> splitLines(std::string_view bytes) {
    std::vector<std::string> lines(1);
    for (const char c : bytes) {
        if (c == '\n') {
            lines.emplace_back();
        } else if (c != '\r' && c != '\0') {
            lines.back().push_back(c);
        }
    }
    return lines;
}

// The position of the first '=' that no backslash escapes.
std::optional<std::size_t> separatorOf(std::string_view line) {
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '=' && (i == 0 || line[i - 1] != '\\')) {
            return i;
        }
    }
    return std::nullopt;
}

std::string unescapeKey(std::string_view key) {
    std::string result;
    for (std::size_t i = 0; i < key.size(); ++i) {
        if (key[i] == '\\' && i + 1 < key.size() && key[i + 1] == '=') {
            continue;
        }
        result.push_back(key[i]);
    }
    return result;
}

}  // namespace

json parseIni(std::string_view bytes) {
    json sections;  // stays null until the first section header
    std::optional<std::string> current;
    for (const auto& raw : splitLines(bytes)) {
        std::string_view line = trim(raw, kWhiteSpace);
        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            // Only section lines lose a trailing remark; values keep semicolons.
            line = line.substr(0, line.find(';'));
            const auto close = line.rfind(']');
            if (close != std::string_view::npos) {
                current = lowerCase(trim(line.substr(1, close - 1), kWhiteSpace));
                if (!sections.is_object()) {
                    sections = json::object();
                }
                if (!sections.contains(*current)) {
                    sections[*current] = nullptr;
                }
                continue;
            }
        }
        const auto separator = separatorOf(line);
        if (!separator || !current) {
            continue;
        }
        const auto key = lowerCase(unescapeKey(trim(line.substr(0, *separator), kWhiteSpace)));
        auto& section = sections[*current];
        if (section.is_null()) {
            section = json::object();
        }
        section[key] = std::string(trim(line.substr(*separator + 1), kWhiteSpace));
    }
    return sections;
}

}  // namespace kinetra::config
