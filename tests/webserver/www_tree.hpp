// A throw-away install tree for the web server tests: www/ with a few pages, secret.txt beside
// it, and symbolic links that stay inside www/ or lead out of it.
#pragma once

#include <filesystem>
#include <string>

#include "support/temporary_tree.hpp"

namespace kinetra::webserver::test {

namespace fs = std::filesystem;

inline constexpr const char* kIndexPage = "<!DOCTYPE html><title>kinetra SDK</title>";
inline constexpr const char* kSecret = "outside www";
inline const std::string kLogo("\x89PNG\r\n\x1a\n\0\x01", 10);

class WwwTree : public kinetra::testing::TemporaryTree {
public:
    WwwTree() {
        fs::create_directories(www() / "img");
        fs::create_directories(www() / "empty");
        write("www/index.html", kIndexPage);
        write("www/app.js", "let x = 1;");
        write("www/Style.CSS", "body{}");
        write("www/img/logo.png", kLogo);
        write("www/blob.bin", "???");
        write("www/img/index.html", "images");
        write("secret.txt", kSecret);
        fs::create_symlink("index.html", www() / "home.html");       // stays inside
        fs::create_symlink("../secret.txt", www() / "secret-link");  // leads out
        fs::create_directory_symlink("..", www() / "up");            // a folder out
    }

    fs::path www() const { return root() / "www"; }
};

}  // namespace kinetra::webserver::test
