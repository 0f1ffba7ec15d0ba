// The client examples shipped in examples/, each run against the real kinetra-server with its
// emulated adapter: they must pair over the radio and move the gear, and fail clearly when the
// server cannot be reached. Skipped where the example's interpreter is not installed.
#include <optional>

#include <gtest/gtest.h>

#include "core/json.hpp"
#include "e2e/post_json.hpp"
#include "e2e/running_server.hpp"

namespace kinetra {
namespace {

struct Example {
    const char* name;
    const char* interpreter;  // looked up in PATH by env
    const char* script;       // below examples/
    bool webSocket;           // talks to the WebSocket port instead of the HTTP port
};

// Test names carry the example's name instead of its bytes.
void PrintTo(const Example& example, std::ostream* out) {
    *out << example.name;
}

const Example kExamples[] = {
    {"Curl", "bash", "curl/pair_and_move.sh", false},
    {"Python", "python3", "python/pair_and_move.py", false},
    {"Node", "node", "javascript/pair_and_move.mjs", false},
    {"Browser", "node", "browser/pair_and_move.js", true},
};

bool inPath(const std::string& program) {
    return ChildProcess({"/bin/sh", "-c", "command -v " + program}, ".").waitForExit(20s) ==
           std::optional<int>(0);
}

bool succeeds(std::vector<std::string> argv) {
    ChildProcess probe(std::move(argv), ".");
    return probe.waitForExit(20s) == std::optional<int>(0);
}

// The command line that runs the example, up to its own arguments; empty when its interpreter
// or what it needs besides is missing (the reason in `skip`).
std::vector<std::string> runnerFor(const Example& example, std::string& skip) {
    const std::string interpreter = example.interpreter;
    const std::string script = std::string(KINETRA_EXAMPLES_DIR) + "/" + example.script;
    const std::string name = example.name;
    if (!inPath(interpreter) || (name == "Curl" && !inPath("curl"))) {
        skip = interpreter + (name == "Curl" ? " or curl" : "") + " is not installed";
        return {};
    }
    if (name == "Node" &&
        !succeeds({"/usr/bin/env", interpreter, "-e", "typeof fetch === 'function' || f()"})) {
        skip = "node has no global fetch (Node 18 or later is needed)";
        return {};
    }
    if (name != "Browser") {
        return {"/usr/bin/env", interpreter, script};
    }
    // The page's script runs under Node with a global WebSocket: built into Node 22, behind a
    // flag in Node 20 and 21.
    const char* check = "typeof WebSocket === 'function' || f()";
    std::vector<std::string> command{"/usr/bin/env", interpreter};
    if (!succeeds({"/usr/bin/env", interpreter, "-e", check})) {
        if (!succeeds({"/usr/bin/env", interpreter, "--experimental-websocket", "-e", check})) {
            skip = "node has no WebSocket (Node 20 or later is needed)";
            return {};
        }
        command.push_back("--experimental-websocket");
    }
    command.push_back(std::string(KINETRA_TEST_DIR) + "/run_browser_example.js");
    command.push_back(script);
    return command;
}

using testing::postJson;

class Examples : public ::testing::TestWithParam<Example> {
protected:
    void SetUp() override {
        std::string skip;
        runner_ = runnerFor(GetParam(), skip);
        if (runner_.empty()) {
            GTEST_SKIP() << skip;
        }
    }

    std::unique_ptr<ChildProcess> run(const std::vector<std::string>& arguments,
                                      const std::string& workingDirectory) {
        auto command = runner_;
        command.insert(command.end(), arguments.begin(), arguments.end());
        return std::make_unique<ChildProcess>(std::move(command), workingDirectory);
    }

    // The address the example takes for a server listening on these ports.
    std::string serverUrl(std::uint16_t httpPort, std::uint16_t webSocketPort) const {
        return GetParam().webSocket ? "ws://127.0.0.1:" + std::to_string(webSocketPort)
                                    : "http://127.0.0.1:" + std::to_string(httpPort);
    }

    std::vector<std::string> runner_;
};

TEST_P(Examples, PairTheEmulatedAdapterOverTheRadioAndMoveIt) {
    RunningServer server({"--simulate"});
    ASSERT_TRUE(server.listening()) << server.process->output();

    const std::string url = serverUrl(server.httpPort, server.webSocketPort);
    auto example = run({url}, server.tree.tmp().string());
    const auto status = example->waitForExit(90s);
    ASSERT_EQ(status, std::optional<int>(0)) << example->output();
    EXPECT_NE(example->output().find("link KSIM0001: linkAdapter"), std::string::npos);
    EXPECT_NE(example->output().find("\npaired\n"), std::string::npos) << example->output();
    EXPECT_NE(example->output().find("moved: readings"), std::string::npos) << example->output();

    // What the example claims, seen from the server: the link is paired and the head turned.
    const json links = postJson(server.httpPort, "/v1/device", {{"command", "linkStatus"}});
    ASSERT_TRUE(links.is_object() && links["data"].is_array()) << links;
    ASSERT_EQ(links["data"].size(), 1U) << links;
    EXPECT_EQ(links["data"][0].value("isPairingDone", false), true) << links;
    const json bundle = postJson(server.httpPort, "/v1/bundle/KSIM0001/status", json::object());
    ASSERT_TRUE(bundle.is_object() && bundle["data"].is_object()) << bundle;
    EXPECT_GT(bundle["data"]["readings"].value("headPan", 0.0), 0.0) << bundle;
    EXPECT_EQ(bundle["data"].value("deviceInfo", json::array()).size(), 2U) << bundle;

    // A second run finds the link paired and moves it again, choosing the link by its id.
    auto again = run({url + "/", "KSIM0001"}, server.tree.tmp().string());
    ASSERT_EQ(again->waitForExit(60s), std::optional<int>(0)) << again->output();
    EXPECT_NE(again->output().find("already paired"), std::string::npos) << again->output();
}

TEST_P(Examples, SayWhatFailedWhenTheServerCannotBeReached) {
    TemporaryTree tree;
    const auto port = freePort();
    const std::string url = serverUrl(port, port);
    auto example = run({url}, tree.tmp().string());
    const auto status = example->waitForExit(30s);
    ASSERT_TRUE(status.has_value()) << example->output();
    EXPECT_NE(*status, 0);
    EXPECT_NE(example->output().find("error: cannot reach " + url + "/v1/device"),
              std::string::npos)
        << example->output();
}

INSTANTIATE_TEST_SUITE_P(ShippedExamples, Examples, ::testing::ValuesIn(kExamples),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace kinetra
