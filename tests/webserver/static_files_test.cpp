// Static file answers: content types, index pages, the error statuses, and every way out of the
// www folder (dot segments, escaped or not, and symbolic links) refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "webserver/static_files.hpp"
#include "www_tree.hpp"

namespace kinetra::webserver {
namespace {

net::HttpRequest request(std::string method, std::string path) {
    net::HttpRequest result;
    result.method = std::move(method);
    result.path = std::move(path);
    result.url = result.path;
    return result;
}

std::string statusLine(const std::string& response) {
    return response.substr(0, response.find("\r\n"));
}

std::string bodyOf(const std::string& response) {
    return response.substr(response.find("\r\n\r\n") + 4);
}

TEST(StaticFiles, ServesItsKindsOfFileAndFolderIndexesAndRefusesEveryOtherPath) {
    const test::WwwTree tree;
    const StaticFiles files(tree.www());
    struct Case {
        std::string path;
        std::string type;
        std::string body;
    };
    const std::vector<Case> cases = {
        {"/", "text/html; charset=utf-8", test::kIndexPage},
        {"/index.html", "text/html; charset=utf-8", test::kIndexPage},
        {"/home.html", "text/html; charset=utf-8", test::kIndexPage},  // link within www
        {"/app.js", "text/javascript; charset=utf-8", "let x = 1;"},
        {"/Style.CSS", "text/css; charset=utf-8", "body{}"},
        {"/img/logo.png", "image/png", test::kLogo},
        {"/img", "text/html; charset=utf-8", "images"},
        {"//img/./", "text/html; charset=utf-8", "images"},
        {"/%61pp.js", "text/javascript; charset=utf-8", "let x = 1;"},
    };
    for (const auto& [path, type, body] : cases) {
        const auto response = files.respond(request("GET", path));
        EXPECT_EQ(statusLine(response), "HTTP/1.1 200 OK") << path;
        EXPECT_NE(response.find("\r\nContent-Type: " + type + "\r\n"), std::string::npos) << path;
        EXPECT_NE(response.find("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n"),
                  std::string::npos)
            << path;
        EXPECT_EQ(bodyOf(response), body) << path;
    }

    // HEAD: the GET's headers, no body.
    const auto head = files.respond(request("HEAD", "/app.js"));
    EXPECT_EQ(statusLine(head), "HTTP/1.1 200 OK");
    EXPECT_NE(head.find("Content-Length: 10\r\n"), std::string::npos);
    EXPECT_EQ(bodyOf(head), "");

    // Only the application's kinds of file: not this program beside them, not unknown types, not
    // hidden files; and no way out of the root (dot segments, escaped or not, links, NUL).
    tree.write("www/kinetra_sdk_webserver.js", "#!/bin/sh");
    std::filesystem::permissions(tree.www() / "kinetra_sdk_webserver.js",
                                 std::filesystem::perms::owner_exec,
                                 std::filesystem::perm_options::add);
    tree.write("www/.env.json", "{}");
    const std::pair<const char*, std::vector<std::string>> refusals[] = {
        {"HTTP/1.1 404 Not Found",
         {"/missing.html", "/empty/", "/img/logo.png/x", "/app.js%20", "/blob.bin",
          "/kinetra_sdk_webserver.js", "/.env.json"}},
        {"HTTP/1.1 403 Forbidden",
         {"/../secret.txt", "/img/../../secret.txt", "/%2e%2e/secret.txt", "/%2E%2E%2Fsecret.txt",
          "/img/..%2f..%2fsecret.txt", "/secret-link", "/up/secret.txt", "/%zz",
          "/index.html%00.png"}},
    };
    for (const auto& [status, paths] : refusals) {
        for (const auto& path : paths) {
            const auto response = files.respond(request("GET", path));
            EXPECT_EQ(statusLine(response), status) << path;
            EXPECT_EQ(response.find(test::kSecret), std::string::npos) << path;
        }
    }
    const auto post = files.respond(request("POST", "/index.html"));
    EXPECT_EQ(statusLine(post), "HTTP/1.1 405 Method Not Allowed");
    EXPECT_NE(post.find("Allow: GET, HEAD\r\n"), std::string::npos);
}

}  // namespace
}  // namespace kinetra::webserver
