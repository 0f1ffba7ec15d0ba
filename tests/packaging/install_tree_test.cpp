// The install tree as `cmake --install` lays it out, and the shipped configuration file: what a
// user gets from the package must hold every folder the server resolves, and the server must
// find them when started through a link from another directory, as /usr/bin/kinetra-server is.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "e2e/post_json.hpp"
#include "e2e/running_server.hpp"
#include "settings/defaults.hpp"
#include "settings/ini_reader.hpp"
#include "support/wait.hpp"

namespace kinetra {
namespace {

namespace fs = std::filesystem;

const fs::path kSource = KINETRA_SOURCE_DIR;

std::string readFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

bool isExecutable(const fs::path& path) {
    return fs::is_regular_file(path) && ::access(path.c_str(), X_OK) == 0;
}

TEST(ShippedConfiguration, MatchesTheBuiltInDefaults) {
    const json file = config::parseIni(readFile(kSource / "cfg/config.ini"));
    EXPECT_EQ(file, config::fullDefault()["server"]);
}

// Installed once: the tree's contents, then the server started from it through a link.
TEST(InstallTree, HoldsEverySourceFolderAndTheServerFindsItThroughALinkFromElsewhere) {
    TemporaryTree scratch;
    const fs::path prefix = scratch.root() / "opt" / "kinetra";
    ChildProcess install(
        {KINETRA_CMAKE_COMMAND, "--install", KINETRA_BINARY_DIR, "--prefix", prefix.string()}, ".");
    ASSERT_EQ(install.waitForExit(60s), std::optional<int>(0)) << install.output();
    for (const char* program :
         {"bin/kinetra-server", "bin/kinetra-sim", "www/kinetra_sdk_webserver"}) {
        EXPECT_TRUE(isExecutable(prefix / program)) << program;
    }
    for (const char* icon : {"icon1.ico", "tray_icon.ico", "icon1.png", "tray_icon.png"}) {
        EXPECT_TRUE(fs::is_regular_file(prefix / "res" / icon)) << icon;
    }

    // Every file of these folders, subfolders included, arrives unchanged.
    int compared = 0;
    for (const char* folder : {"cfg", "res", "www", "examples", "firmware"}) {
        for (const auto& entry : fs::recursive_directory_iterator(kSource / folder)) {
            const auto relative = fs::relative(entry.path(), kSource);
            if (!entry.is_regular_file() || relative.string().starts_with("res/hicolor/") ||
                (relative.parent_path() == "www" &&
                 relative.filename().string().starts_with("package"))) {
                continue;  // themed icons go elsewhere; the npm manifest brings www/vendor/
            }
            const auto installed = prefix / relative;
            ASSERT_TRUE(fs::is_regular_file(installed)) << relative;
            EXPECT_EQ(readFile(installed), readFile(entry.path())) << relative;
            if (isExecutable(entry.path())) {
                EXPECT_TRUE(isExecutable(installed)) << relative << " lost its execute bit";
            }
            ++compared;
        }
    }
    EXPECT_GT(compared, 10);
    // The plot library the page loads, from npm, with its licence; not the manifest.
    for (const char* file : {"uPlot.esm.js", "uPlot.min.css", "LICENSE"}) {
        EXPECT_TRUE(fs::is_regular_file(prefix / "www/vendor/uplot" / file)) << file;
    }
    EXPECT_FALSE(fs::exists(prefix / "www/package.json"));
    // The user adds the DFU tool and its image.
    EXPECT_FALSE(fs::exists(prefix / "firmware/dfu-util"));
    EXPECT_FALSE(fs::exists(prefix / "firmware/a"));

    const auto httpPort = freePort();
    const auto webSocketPort = freePort();
    std::ofstream(prefix / "cfg/config.ini", std::ios::trunc)
        << "[httpserver]\naddress=127.0.0.1\nport=" << httpPort
        << "\n[webserver]\naddress=127.0.0.1\nport=" << freePort()
        << "\n[websocket]\naddress=127.0.0.1\nport=" << webSocketPort << "\n";
    // As /usr/bin/kinetra-server: a link in a folder without ../cfg, started from a third one.
    const auto links = scratch.root() / "usr" / "bin";
    const auto elsewhere = scratch.tmp() / "home";
    fs::create_directories(links);
    fs::create_directories(elsewhere);
    fs::create_symlink(prefix / "bin/kinetra-server", links / "kinetra-server");

    ChildProcess server({(links / "kinetra-server").string(), "--simulate"}, elsewhere.string(),
                        {{"TMPDIR", scratch.tmp().string()}});
    ASSERT_TRUE(
        server.waitForOutput("Listening on 127.0.0.1:" + std::to_string(webSocketPort) + ".", 10s))
        << server.output();
    EXPECT_NE(server.output().find("Configuration files read and parse into json object."),
              std::string::npos)
        << server.output();
    json reply;
    EXPECT_TRUE(testing::waitUntil(
        [&] {
            reply = testing::postJson(httpPort, "/v1/device", {{"command", "linkStatus"}});
            return listsLink(reply, "KSIM0001");
        },
        10s))
        << reply << server.output();
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitForExit(10s), std::optional<int>(0)) << server.output();
}

}  // namespace
}  // namespace kinetra
