// Every documented request example sent to the real server with its emulated adapter, over
// HTTP, in an order that walks a link through unpaired, paired and updating: each reply must
// have the documented members and the documented result (and message) texts. The same for every
// /v2 example: methods, notifications and errors.
#include <algorithm>
#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "docs/api_reference.hpp"
#include "e2e/running_server.hpp"
#include "net/test_client.hpp"

namespace kinetra::docs {
namespace {

using kinetra::testing::postText;
using net::test::TestClient;

constexpr std::string_view kLinkId = "KSIM0001";

std::string concretePath(std::string path) {
    const std::string placeholder = "<linkID>";
    if (const auto at = path.find(placeholder); at != std::string::npos) {
        path.replace(at, placeholder.size(), kLinkId);
    }
    return path;
}

// Whether `actual` has the shape of `documented`: the same members at every level of objects,
// arrays whose first elements agree, numbers for numbers; "result" and "message" word for word
// where they are texts (a JSON-RPC result holds a whole reply). `why` says where they differ.
bool sameShape(const json& documented, const json& actual, std::string& why,
               const std::string& where = "") {
    if (documented.type() != actual.type() && !(documented.is_number() && actual.is_number())) {
        why = where + ": " + actual.dump() + " where the reference has " + documented.dump();
        return false;
    }
    if (documented.is_object()) {
        if (keysOf(documented) != keysOf(actual)) {
            why = where + ": members " + json(keysOf(actual)).dump() + " instead of " +
                  json(keysOf(documented)).dump();
            return false;
        }
        for (const auto& [key, value] : documented.items()) {
            const bool text = (key == "result" || key == "message") && !value.is_structured();
            if (text && value != actual.at(key)) {
                why = where + "." + key + ": " + actual.at(key).dump() + " instead of " +
                      value.dump();
                return false;
            }
            if (!sameShape(value, actual.at(key), why, where + "." + key)) {
                return false;
            }
        }
    } else if (documented.is_array() && (documented.empty() || actual.empty())) {
        why = where + ": " + std::to_string(actual.size()) + " elements";
        return documented.empty() == actual.empty();
    } else if (documented.is_array()) {
        return sameShape(documented.front(), actual.front(), why, where + "[0]");
    }
    return true;
}

class DocumentedExamples : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.listening()) << server_.process->output();
        // The link is listed once its status is known, about two seconds after it was found.
        ASSERT_TRUE(server_.linkIs(std::string(kLinkId))) << server_.process->output();
    }

    // Sends `request` to `path` and expects the documented reply `documented`. A device's
    // answer that comes after its command's wait has ended is taken by the next command that
    // accepts any answer, and on a loaded machine answers come late: a reply of the wrong
    // shape is asked for again, three times at most.
    void expectReply(const std::string& path, const json& request, const json& documented) {
        const std::string where = path + " " + request.dump();
        const std::string text = textOf(documented);
        std::string failure;
        for (int attempt = 0; attempt < 3; ++attempt) {
            const auto reply = postText(server_.httpPort, concretePath(path), request.dump());
            ASSERT_TRUE(reply.has_value()) << where;
            failure = mismatch(text, *reply);
            if (failure.empty()) {
                return;
            }
        }
        ADD_FAILURE() << where << " (" << documented.at("when") << "): " << failure;
    }

    // Empty when `reply` is the documented `text` (word for word for a bare reply, by shape
    // for an object); otherwise why not.
    static std::string mismatch(const std::string& text, const std::string& reply) {
        if (text.empty() || reply == "{}" || reply == "true" || reply == "false") {
            return reply == text ? "" : "got " + reply + " instead of " + text;
        }
        const json actual = json::parse(reply, nullptr, false);
        std::string why;
        if (actual.is_discarded() || !sameShape(json::parse(text), actual, why)) {
            return why + "\n  got " + reply;
        }
        return "";
    }

    // The command's reply number `replyIndex`, sent its own request when it has one, else the
    // command's example.
    void example(const std::string& path, const std::string& name, std::size_t replyIndex = 0) {
        const json& entry = command(path, name);
        const json& reply = entry.at("replies").at(replyIndex);
        expectReply(path, reply.value("request", entry.at("example")), reply);
        exercised_.insert(path + " " + name);
    }
    // The endpoint-wide reply number `replyIndex`, sent its own request (or `request`).
    void endpointCase(const std::string& path, std::size_t replyIndex, const json& request = {}) {
        const json& reply = endpoint(path).at("replies").at(replyIndex);
        expectReply(path, reply.value("request", request), reply);
    }
    void anyRequest(const std::string& path, std::size_t replyIndex) {
        const json& entry = endpoint(path).at("request");
        expectReply(path, entry.at("example"), entry.at("replies").at(replyIndex));
        exercised_.insert(path);
    }

    RunningServer server_{{"--simulate"}};
    std::set<std::string> exercised_;
};

TEST_F(DocumentedExamples, EveryRequestExampleIsAnsweredAsDocumented) {
    const std::string device = "/v1/device";
    const std::string link = "/v1/link/<linkID>";
    const std::string bundle = "/v1/bundle/<linkID>";
    const std::string status = "/v1/bundle/<linkID>/status";

    // Unpaired.
    example(device, "linkDeviceFirmwareUpdateStatus");
    example(device, "linkStatus");
    example(device, "studioStatus", 1);  // the outputs are off by default
    endpointCase(device, 0);
    endpointCase(device, 1);
    for (const char* name :
         {"status", "link_status_from_device", "linkRadioFirmwareUpdateStatus", "statusUpdate",
          "linkAdapter_detect", "wirelessPairingScanStart", "wirelessPairingScanResults",
          "wirelessPairingStatus", "link2PairingScanResults", "link2PairingStatus",
          "wirelessPairingScanStop"}) {
        example(link, name);
    }
    example(link, "wirelessPairingAttachToBundle", 2);
    example(link, "wirelessPairingCreateBundle", 2);
    example(link, "wirelessPairingCreateBundle", 3);
    endpointCase(link, 2);
    endpointCase(link, 3);
    anyRequest("/v1/link/<linkID>/detect", 0);
    anyRequest(status, 1);
    endpointCase(bundle, 0, json{{"command", "motionAbort"}});
    example(device, "motionAbortAll", 1);

    // Paired over the radio.
    example(link, "wirelessPairingCreateBundle");
    ASSERT_TRUE(server_.paired(std::string(kLinkId)));
    endpointCase(link, 1, json{{"command", "wirelessPairingStatus"}});
    anyRequest(status, 0);
    for (const char* name :
         {"realTimeMoveFixedDuration", "joystickMove", "keyposeStoreCurrentPose",
          "keyposeStoreWithNumericData", "keyposeReadNumericValues", "keyposeMoveFixedSpeed",
          "keyposeMoveFixedDuration", "keyposeLoopFixedSpeed", "keyposeLoopFixedDuration",
          "motionAbort", "keyposeDeletePose", "numericLimitValues", "calibrate", "status"}) {
        example(bundle, name);
    }
    example(bundle, "realTimeMoveFixedDuration", 1);
    example(bundle, "joystickMove", 2);
    example(bundle, "keyposeStoreWithNumericData", 2);
    example(bundle, "calibrate", 2);
    example(bundle, "calibrate", 3);
    endpointCase(bundle, 1);
    endpointCase(bundle, 2);
    endpointCase(bundle, 4);
    example(device, "motionAbortAll");
    example(link, "linkStatistics");  // with statuses and acknowledgements counted
    // The emulated bundle has a head and a slider, no focus and no rail unit, and two devices.
    example(bundle, "focusManualMove", 2);
    example(bundle, "railUnitInclineWarningConfirm", 1);
    example(bundle, "dynamicMoveFixedSpeed", 2);
    example(bundle, "dynamicMoveFixedDuration", 2);

    // Unpaired and paired again over each medium.
    example(link, "disconnect");
    for (const char* connect :
         {"wirelessPairingAttachToBundle", "link2PairingConnect", "link1PairingConnect"}) {
        example(link, connect);
        example(link, "disconnect");
    }

    // Updates: the temporary install has no firmware tool, so the device update ends at once.
    example(device, "startLinkDeviceFirmwareUpdate");
    example(link, "startLinkRadioFirmwareUpdate");
    example(link, "startLinkRadioFirmwareUpdate", 1);
    example(link, "linkRadioFirmwareUpdateStatus", 1);

    // The scanner's events, as a client sends them; the link is announced on a port that
    // cannot exist here, so that no real port is opened.
    {
        json found = command(device, "device_found").at("example");
        found["portName"] = (server_.tree.tmp() / "no-such-port").string();
        expectReply(device, found, command(device, "device_found").at("replies").at(0));
        exercised_.insert(device + " device_found");
    }
    example(device, "device_disconnected");

    // Inside the process only.
    endpointCase("/v1/configuration", 0);

    // The gateway's own replies: an unknown link, a body that is no JSON, one too large.
    const json& gateway = apiReference().at("gatewayReplies");
    EXPECT_EQ(postText(server_.httpPort, "/v1/link/NOSUCHLINK", "{}"), textOf(gateway.at(0)));
    EXPECT_EQ(postText(server_.httpPort, "/v1/device", "not json"), textOf(gateway.at(1)));
    EXPECT_EQ(postText(server_.httpPort, "/v1/device", std::string(9000, ' ')),
              textOf(gateway.at(2)));

    // A documented command this walk does not send would go unchecked.
    for (const auto& entry : apiReference().at("endpoints")) {
        const std::string path = entry.at("path").get<std::string>();
        if (entry.value("internal", false)) {
            continue;
        }
        if (entry.contains("request")) {
            EXPECT_TRUE(exercised_.contains(path)) << path;
        }
        for (const auto& command : entry.at("commands")) {
            const std::string key = path + " " + command.at("name").get<std::string>();
            EXPECT_TRUE(exercised_.contains(key)) << key << " is not exercised";
        }
    }
}

// The /v2 methods in the order documented (unsubscribe ends what subscribe began), each
// followed by its further documented responses with their own requests; the notifications met
// on the way (the links subscription's first comes before it is ended, statuses once the bundle
// is paired) and the documented errors.
TEST_F(DocumentedExamples, V2ExamplesAreAnsweredAsDocumented) {
    const json& v2 = apiReference().at("v2");
    TestClient socket(server_.webSocketPort);
    ASSERT_NE(socket.upgrade(v2.at("path").get<std::string>()).find("101 Switching Protocols"),
              std::string::npos);
    std::vector<json> notifications;  // met while waiting for something else
    // The first message `wanted` takes, within 15 s (null if none): kept notifications first.
    const auto next = [&](const std::function<bool(const json&)>& wanted) -> json {
        const auto kept = std::find_if(notifications.begin(), notifications.end(), wanted);
        if (kept != notifications.end()) {
            json found = std::move(*kept);
            notifications.erase(kept);
            return found;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (std::chrono::steady_clock::now() < deadline) {
            const auto frame = socket.nextFrame(std::chrono::milliseconds(500));
            json message = frame ? json::parse(frame->payload, nullptr, false) : json();
            if (frame && wanted(message)) {
                return message;
            }
            if (message.is_object() && !message.contains("id") && notifications.size() < 100) {
                notifications.push_back(std::move(message));
            }
        }
        return json();
    };
    const auto expect = [&](const json& request, const json& documented) {
        const std::string text = request.is_string() ? request.get<std::string>() : request.dump();
        socket.sendText(text);
        const json id = request.is_object() ? request.value("id", json()) : json();
        const json reply = next([&](const json& m) { return m.contains("id") && m["id"] == id; });
        EXPECT_EQ(mismatch(textOf(documented), reply.dump()), "")
            << text << " (" << documented.at("when") << ")";
    };
    const auto expectNotification = [&](const std::string& name) {
        const json& example = entryOf(v2.at("notifications"), "name", name, "notification " + name);
        const json notification =
            next([&](const json& m) { return !m.contains("id") && m.value("method", "") == name; });
        EXPECT_EQ(mismatch(example.at("example").dump(), notification.dump()), "") << name;
    };

    for (const auto& method : v2.at("methods")) {
        expect(method.at("example"), method.at("replies").at(0));
        if (method.at("name") == "subscribe") {
            expectNotification("links");
        }
        for (const auto& reply : method.at("replies")) {
            if (reply.contains("request")) {
                expect(reply.at("request"), reply);
            }
        }
    }
    socket.sendText(json{{"jsonrpc", "2.0"},
                         {"id", "pair"},
                         {"method", "call"},
                         {"params",
                          {{"path", concretePath("/v1/link/<linkID>")},
                           {"request", {{"command", "link1PairingConnect"}}}}}}
                        .dump());
    expectNotification("status");
    for (const auto& error : v2.at("errors")) {
        if (error.contains("request")) {
            expect(error.at("request"), error);
        }
    }
}

}  // namespace
}  // namespace kinetra::docs
