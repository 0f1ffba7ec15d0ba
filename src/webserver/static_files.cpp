// Static file answers. Every path is checked twice: lexically (no ".." after decoding) and by
// its real location, so neither an escaped "../" nor a symbolic link reaches outside the root.
#include "webserver/static_files.hpp"

#include <array>
#include <cctype>
#include <fstream>
#include <iterator>
#include <utility>

#include "net/http_response.hpp"

namespace kinetra::webserver {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kIndexFile = "index.html";
constexpr std::string_view kDefaultType = "application/octet-stream";

constexpr std::array<std::pair<std::string_view, std::string_view>, 20> kContentTypes{{
    {".html", "text/html; charset=utf-8"},
    {".htm", "text/html; charset=utf-8"},
    {".css", "text/css; charset=utf-8"},
    {".js", "text/javascript; charset=utf-8"},
    {".mjs", "text/javascript; charset=utf-8"},
    {".json", "application/json"},
    {".map", "application/json"},
    {".txt", "text/plain; charset=utf-8"},
    {".xml", "application/xml"},
    {".svg", "image/svg+xml"},
    {".png", "image/png"},
    {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".gif", "image/gif"},
    {".webp", "image/webp"},
    {".ico", "image/x-icon"},
    {".woff", "font/woff"},
    {".woff2", "font/woff2"},
    {".ttf", "font/ttf"},
    {".wasm", "application/wasm"},
}};

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower >= 'a' && lower <= 'f') {
        return lower - 'a' + 10;
    }
    return -1;
}

// True when `inner` is `root` itself or lies below it; both canonical.
bool isWithin(const fs::path& inner, const fs::path& root) {
    const auto relative = inner.lexically_relative(root);
    return !relative.empty() && *relative.begin() != "..";
}

// No other site may frame the pages (and their jog buttons) to trick a click.
net::HttpResponse framedBySelfOnly() {
    return net::HttpResponse()
        .addHeader("Content-Security-Policy", "frame-ancestors 'self'")
        .addHeader("X-Frame-Options", "SAMEORIGIN");
}

net::HttpResponse plainResponse(net::HttpStatus status, std::string_view text) {
    return framedBySelfOnly()
        .setStatus(status)
        .addHeader("Content-Type", "text/plain; charset=utf-8")
        .setBody(std::string(text));
}

// Only the application's own kinds of file: this program lives in the same folder, and
// whatever else lands there (tools, notes, hidden files) is none of a browser's business.
bool meantForBrowsers(const fs::path& file) {
    std::error_code error;
    const auto permissions = fs::status(file, error).permissions();
    const bool executable =
        (permissions & (fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec)) !=
        fs::perms::none;
    return !error && !executable && !file.filename().string().starts_with('.') &&
           contentTypeFor(file) != kDefaultType;
}

}  // namespace

std::string_view contentTypeFor(const fs::path& file) {
    std::string extension = file.extension().string();
    for (auto& c : extension) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    for (const auto& [suffix, type] : kContentTypes) {
        if (suffix == extension) {
            return type;
        }
    }
    return kDefaultType;
}

std::optional<std::string> percentDecode(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) {
                return std::nullopt;
            }
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high < 0 || low < 0) {
                return std::nullopt;
            }
            c = static_cast<char>(high * 16 + low);
            i += 2;
        }
        if (c == '\0') {
            return std::nullopt;
        }
        decoded.push_back(c);
    }
    return decoded;
}

StaticFiles::StaticFiles(const fs::path& root) : root_(fs::canonical(root)) {}

Resolved StaticFiles::resolve(std::string_view urlPath) const {
    const auto decoded = percentDecode(urlPath);
    if (!decoded) {
        return {Resolved::Kind::refused, {}};
    }
    fs::path candidate = root_;
    std::size_t start = 0;
    while (start <= decoded->size()) {
        const auto end = std::min(decoded->find('/', start), decoded->size());
        const std::string_view segment = std::string_view(*decoded).substr(start, end - start);
        start = end + 1;
        if (segment.empty() || segment == ".") {
            continue;
        }
        if (segment == "..") {
            return {Resolved::Kind::refused, {}};
        }
        candidate /= segment;
    }
    std::error_code error;
    if (fs::is_directory(candidate, error)) {
        candidate /= kIndexFile;
    }
    const auto real = fs::canonical(candidate, error);
    if (error) {
        return {Resolved::Kind::notFound, {}};
    }
    if (!isWithin(real, root_)) {
        return {Resolved::Kind::refused, {}};
    }
    if (!fs::is_regular_file(real, error) || !meantForBrowsers(real)) {
        return {Resolved::Kind::notFound, {}};
    }
    return {Resolved::Kind::file, real};
}

std::string StaticFiles::respond(const net::HttpRequest& request) const {
    const bool head = request.method == "HEAD";
    if (request.method != "GET" && !head) {
        return framedBySelfOnly()
            .setStatus(net::HttpStatus::methodNotAllowed)
            .addHeader("Allow", "GET, HEAD")
            .addHeader("Connection", "close")
            .setBody({})
            .toString();
    }
    const auto resolved = resolve(request.path);
    if (resolved.kind == Resolved::Kind::refused) {
        // A path reaching out of the folder is no browser's: the connection ends with it.
        return plainResponse(net::HttpStatus::forbidden, "Forbidden")
            .addHeader("Connection", "close")
            .toString();
    }
    std::ifstream file(resolved.file, std::ios::binary);
    if (resolved.kind == Resolved::Kind::notFound || !file) {
        return plainResponse(net::HttpStatus::notFound, "Not Found").toString();
    }
    std::string body((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto bodySize = body.size();
    auto text = framedBySelfOnly()
                    .addHeader("Cache-Control", "no-cache")
                    .addHeader("Content-Type", std::string(contentTypeFor(resolved.file)))
                    .addHeader("X-Content-Type-Options", "nosniff")
                    .setBody(std::move(body))
                    .toString();
    if (head) {
        text.resize(text.size() - bodySize);  // the headers still give the GET's length
    }
    return text;
}

}  // namespace kinetra::webserver
