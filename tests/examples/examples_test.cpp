// The client examples shipped in examples/, each run against the real kinetra-server with its
// emulated adapter: they must pair over the radio and move the gear, and fail clearly when the
// server cannot be reached. Skipped where the example's interpreter is not installed.
#include <optional>

#include <gtest/gtest.h>

#include "core/json.hpp"
#include "e2e/running_server.hpp"

namespace kinetra {
namespace {

struct Example {
    const char* name;
    const char* interpreter;  // looked up in PATH by env
    const char* script;       // below examples/
    bool webSocket;           // talks to the WebSocket port instead of the HTTP port
    const char* needs;        // for node: what its global scope must have
};

// Test names carry the example's name instead of its bytes.
void PrintTo(const Example& example, std::ostream* out) {
    *out << example.name;
}

const Example kExamples[] = {
    {"Curl", "bash", "curl/pair_and_move.sh", false, nullptr},
    {"Python", "python3", "python/pair_and_move.py", false, nullptr},
    {"Node", "node", "javascript/pair_and_move.mjs", false, "fetch"},
    {"Browser", "node", "browser/pair_and_move.js", true, "WebSocket"},
};

bool succeeds(std::vector<std::string> argv) {
    return ChildProcess(std::move(argv), ".").waitForExit(20s) == std::optional<int>(0);
}

// The command line that runs the example, up to its own arguments; empty when its interpreter
// or what it needs besides is missing (the reason in `skip`).
std::vector<std::string> runnerFor(const Example& example, std::string& skip) {
    const std::string interpreter = example.interpreter;
    const std::string script = std::string(KINETRA_EXAMPLES_DIR) + "/" + example.script;
    const bool curl = std::string_view(example.name) == "Curl";
    if (!succeeds(
            {"/bin/sh", "-c", "command -v " + interpreter + (curl ? " && command -v curl" : "")})) {
        skip = interpreter + (curl ? " or curl" : "") + " is not installed";
        return {};
    }
    std::vector<std::string> command{"/usr/bin/env", interpreter};
    if (example.needs != nullptr) {
        // Global fetch came with Node 18; WebSocket with Node 22, behind a flag in 20 and 21.
        const std::string check = std::string("typeof ") + example.needs + " === 'function' || f()";
        if (!succeeds({"/usr/bin/env", interpreter, "-e", check})) {
            if (!succeeds({"/usr/bin/env", interpreter, "--experimental-websocket", "-e", check})) {
                skip = "node has no global " + std::string(example.needs);
                return {};
            }
            command.push_back("--experimental-websocket");
        }
    }
    if (example.webSocket) {  // the page's script, run under Node
        command.push_back(std::string(KINETRA_TEST_DIR) + "/run_browser_example.js");
    }
    command.push_back(script);
    return command;
}

class Examples : public ::testing::TestWithParam<Example> {};

// Without a server first (on a port nobody listens on), then against one: a first run pairs,
// a second finds the link paired and moves it again, choosing the link by its id.
TEST_P(Examples, SayWhatFailedWithoutAServerThenPairTheEmulatedAdapterOverTheRadioAndMoveIt) {
    std::string skip;
    const auto runner = runnerFor(GetParam(), skip);
    if (runner.empty()) {
        GTEST_SKIP() << skip;
    }
    const auto run = [&](const std::string& url, std::vector<std::string> more,
                         const TemporaryTree& tree) {
        auto command = runner;
        command.push_back(url);
        command.insert(command.end(), more.begin(), more.end());
        return std::make_unique<ChildProcess>(std::move(command), tree.tmp().string());
    };
    // The address the example takes for a server listening on these ports.
    const auto serverUrl = [&](std::uint16_t httpPort, std::uint16_t webSocketPort) {
        return GetParam().webSocket ? "ws://127.0.0.1:" + std::to_string(webSocketPort)
                                    : "http://127.0.0.1:" + std::to_string(httpPort);
    };

    {
        TemporaryTree tree;
        const auto port = freePort();
        const std::string url = serverUrl(port, port);
        auto example = run(url, {}, tree);
        const auto status = example->waitForExit(30s);
        ASSERT_TRUE(status.has_value()) << example->output();
        EXPECT_NE(*status, 0);
        EXPECT_NE(example->output().find("error: cannot reach " + url + "/v1/device"),
                  std::string::npos)
            << example->output();
    }

    RunningServer server({"--simulate"});
    ASSERT_TRUE(server.listening()) << server.process->output();
    const std::string url = serverUrl(server.httpPort, server.webSocketPort);
    auto example = run(url, {}, server.tree);
    ASSERT_EQ(example->waitForExit(90s), std::optional<int>(0)) << example->output();
    for (const char* line : {"link KSIM0001: linkAdapter", "\npaired\n", "moved: readings"}) {
        EXPECT_NE(example->output().find(line), std::string::npos) << example->output();
    }

    // What the example claims, seen from the server: the link is paired and the head turned.
    const json links = server.post("/v1/device", {{"command", "linkStatus"}});
    ASSERT_TRUE(links.is_object() && links["data"].is_array()) << links;
    ASSERT_EQ(links["data"].size(), 1U) << links;
    EXPECT_EQ(links["data"][0].value("isPairingDone", false), true) << links;
    const json bundle = server.post("/v1/bundle/KSIM0001/status");
    ASSERT_TRUE(hasStatus(bundle)) << bundle;
    EXPECT_GT(bundle["data"]["readings"].value("headPan", 0.0), 0.0) << bundle;
    EXPECT_EQ(bundle["data"].value("deviceInfo", json::array()).size(), 2U) << bundle;

    auto again = run(url + "/", {"KSIM0001"}, server.tree);
    ASSERT_EQ(again->waitForExit(60s), std::optional<int>(0)) << again->output();
    EXPECT_NE(again->output().find("already paired"), std::string::npos) << again->output();
}

INSTANTIATE_TEST_SUITE_P(ShippedExamples, Examples, ::testing::ValuesIn(kExamples),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace kinetra
