// Maps request paths to files below one root folder and answers GET and HEAD with them. Pure
// apart from reading the file system; called on the web server's worker threads.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "net/http_request.hpp"

namespace kinetra::webserver {

/// The Content-Type for a file name by its extension (any case); application/octet-stream for
/// an unknown one. Text types carry "; charset=utf-8".
std::string_view contentTypeFor(const std::filesystem::path& file);

/// Decodes %XX escapes of a URL path. Nothing when an escape is malformed or decodes to NUL.
std::optional<std::string> percentDecode(std::string_view text);

/// Where a request path leads.
struct Resolved {
    enum class Kind { file, notFound, refused };
    Kind kind = Kind::notFound;
    std::filesystem::path file;  ///< the canonical file, for Kind::file
};

class StaticFiles {
public:
    /// Serves the files below `root` (made canonical here; throws when it does not exist).
    explicit StaticFiles(const std::filesystem::path& root);

    /// Resolves a raw URL path (still escaped, without the query): "/" and folders lead to their
    /// index.html; a ".." segment (also escaped), a malformed escape, or a file whose real
    /// location (symbolic links followed) lies outside the root is refused.
    Resolved resolve(std::string_view urlPath) const;

    /// The full response text for `request`: 200 with the file, 404, 403 for a refused path,
    /// 405 for methods other than GET and HEAD. HEAD gets the GET headers without the body.
    std::string respond(const net::HttpRequest& request) const;

    const std::filesystem::path& root() const { return root_; }

private:
    std::filesystem::path root_;
};

}  // namespace kinetra::webserver
