// The device firmware update against small shell scripts standing in for the DFU tool, laid
// out as in an installation: the server runs in bin/, the tool and its image in firmware/.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "device/device_firmware_update.hpp"
#include "support/log_capture.hpp"
#include "support/temporary_tree.hpp"
#include "support/wait.hpp"

namespace kinetra::device {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Records its working directory and arguments, then ends with the code in the file `code`
// (0 when there is none), once the file `go` exists.
constexpr const char* kTool = R"(#!/bin/sh
echo $$ > pid
{ pwd; echo "$#"; printf '%s\n' "$@"; } >> started
while [ ! -e go ]; do sleep 0.02; done
if [ -e code ]; then code=$(cat code); else code=0; fi
if [ "$code" = signal ]; then kill -9 $$; fi
exit "$code"
)";

class DeviceFirmwareUpdateTest : public ::testing::Test {
protected:
    DeviceFirmwareUpdateTest() {
        tree_.write("firmware/dfu-util", kTool);
        fs::permissions(firmware() / "dfu-util", fs::perms::owner_all);
        fs::current_path(tree_.bin());
    }
    ~DeviceFirmwareUpdateTest() override {
        tree_.write("firmware/go", "");  // lets a tool still waiting end by itself
        fs::current_path(previous_);
    }

    fs::path firmware() const { return tree_.root() / "firmware"; }
    std::string read(const char* name) const { return tree_.read("firmware/" + std::string(name)); }
    void write(const char* name, const std::string& text) const {
        tree_.write("firmware/" + std::string(name), text);
    }

    /// Waits until the tool has ended and the status left running.
    static bool settles(const DeviceFirmwareUpdate& update) {
        return testing::waitUntil([&] { return update.status() != DfuStatus::running; });
    }

    testing::TemporaryTree tree_;
    fs::path previous_ = fs::current_path();
};

// One tool at a time, run in the firmware directory with the arguments of the controller's
// update; its exit code becomes the status. The tool path is relative to the server's directory,
// not to the tool's working directory.
TEST_F(DeviceFirmwareUpdateTest, RunsOneToolAtATimeAndTurnsItsExitCodeIntoTheStatus) {
    fs::create_directories(tree_.bin() / "tools");
    fs::copy_file(firmware() / "dfu-util", tree_.bin() / "tools" / "dfu-util");
    DeviceFirmwareUpdate update("tools/dfu-util", "../firmware/");
    EXPECT_EQ(update.statusReply(), R"({"result":"ok","status":"none"})");
    EXPECT_EQ(update.start(), R"({"result":"ok"})");
    ASSERT_TRUE(testing::waitUntil([&] { return fs::exists(firmware() / "started"); }));
    EXPECT_EQ(update.statusReply(), R"({"result":"ok","status":"running"})");
    EXPECT_EQ(update.start(), R"({"result":"ok","status":"running"})");
    write("go", "");
    ASSERT_TRUE(settles(update));
    EXPECT_EQ(update.statusReply(), R"({"result":"ok","status":"finished"})");
    EXPECT_EQ(read("started"),
              fs::canonical(firmware()).string() +
                  "\n9\n--reset\n--device\n0483:DF11\n-D\na\n-s\n0x08000000:leave\n-a\n0\n");
    const std::pair<const char*, DfuStatus> cases[] = {
        {"80", DfuStatus::multipleDFUDevice}, {"81", DfuStatus::noDevice}, {"1", DfuStatus::error},
        {"signal", DfuStatus::error},         {"82", DfuStatus::error},
    };
    for (const auto& [code, expected] : cases) {
        write("code", code);
        EXPECT_EQ(update.start(), R"({"result":"ok"})") << code;
        ASSERT_TRUE(settles(update)) << code;
        EXPECT_EQ(update.status(), expected) << code;
    }
}

TEST_F(DeviceFirmwareUpdateTest, AToolThatCannotStartIsAnError) {
    testing::LogCapture log;
    DeviceFirmwareUpdate missingTool("../firmware/no-such-tool");
    EXPECT_EQ(missingTool.start(), R"({"result":"ok"})");
    const auto notStarted = [](const std::string& tool, const std::string& call) {
        return "info: Could not start the firmware update tool (" + tool + "): " + call +
               " failed, error 2 (No such file or directory).";
    };
    EXPECT_EQ(log.count(notStarted("../firmware/no-such-tool", "execve")), 1);
    EXPECT_EQ(missingTool.statusReply(), R"({"result":"ok","status":"error"})");

    DeviceFirmwareUpdate missingDirectory("../firmware/dfu-util", "../no-such-directory/");
    missingDirectory.start();
    EXPECT_EQ(missingDirectory.status(), DfuStatus::error);
    EXPECT_EQ(log.count(notStarted("../firmware/dfu-util", "chdir")), 1);
}

TEST_F(DeviceFirmwareUpdateTest, GoingAwayDoesNotWaitForTheTool) {
    auto update = std::make_unique<DeviceFirmwareUpdate>();
    update->start();
    ASSERT_TRUE(testing::waitUntil([&] { return fs::exists(firmware() / "started"); }));
    const auto begin = std::chrono::steady_clock::now();
    update.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
    // The tool was left running; let it end and reap it here.
    const pid_t tool = std::stoi(read("pid"));
    write("go", "");
    EXPECT_TRUE(testing::waitUntil([&] { return ::waitpid(tool, nullptr, WNOHANG) == tool; }));
}

}  // namespace
}  // namespace kinetra::device
