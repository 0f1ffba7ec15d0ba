// A throw-away folder for the web server tests: root/www with a few pages, root/secret.txt
// beside it, and symbolic links that stay inside www/ or lead out of it.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace kinetra::webserver::test {

namespace fs = std::filesystem;

inline constexpr const char* kIndexPage = "<!DOCTYPE html><title>kinetra SDK</title>";
inline constexpr const char* kSecret = "outside www";

class WwwTree {
public:
    WwwTree() {
        std::string pattern = (fs::temp_directory_path() / "kinetra-www-XXXXXX").string();
        root_ = ::mkdtemp(pattern.data());
        fs::create_directories(www() / "img");
        fs::create_directories(www() / "empty");
        write("www/index.html", kIndexPage);
        write("www/app.js", "let x = 1;");
        write("www/Style.CSS", "body{}");
        write("www/img/logo.png", std::string("\x89PNG\r\n\x1a\n\0\x01", 10));
        write("www/blob.bin", "???");
        write("www/img/index.html", "images");
        write("secret.txt", kSecret);
        fs::create_symlink("index.html", www() / "home.html");       // stays inside
        fs::create_symlink("../secret.txt", www() / "secret-link");  // leads out
        fs::create_directory_symlink("..", www() / "up");            // a folder out
    }
    ~WwwTree() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    WwwTree(const WwwTree&) = delete;
    WwwTree& operator=(const WwwTree&) = delete;

    fs::path www() const { return root_ / "www"; }

    void write(const std::string& relative, const std::string& text) const {
        std::ofstream(root_ / relative, std::ios::binary) << text;
    }

private:
    fs::path root_;
};

}  // namespace kinetra::webserver::test
