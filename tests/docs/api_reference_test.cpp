// The API reference against the code's own tables: the commands each service dispatches, the
// gateway's replies, the configuration sections and the default ports.
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bundle/command_plan.hpp"
#include "device/device_service.hpp"
#include "docs/api_reference.hpp"
#include "gateway/gateway_texts.hpp"
#include "link/link_commands.hpp"
#include "net/http_session.hpp"
#include "settings/defaults.hpp"

namespace kinetra::docs {
namespace {

std::set<std::string> documentedCommands(const std::string& path) {
    std::set<std::string> names;
    for (const auto& entry : endpoint(path).at("commands")) {
        names.insert(entry.at("name").get<std::string>());
    }
    return names;
}

template <typename Names>
std::set<std::string> asSet(const Names& names) {
    return {names.begin(), names.end()};
}

TEST(ApiReference, DocumentsExactlyTheCommandsEachServiceDispatches) {
    EXPECT_EQ(documentedCommands("/v1/device"), asSet(device::DeviceService::kCommands));
    EXPECT_EQ(documentedCommands("/v1/link/<linkID>"), asSet(link::linkServiceCommandNames()));
    EXPECT_EQ(documentedCommands("/v1/bundle/<linkID>"), asSet(bundle::commandNames()));
    EXPECT_EQ(documentedCommands("/v1/configuration"), keysOf(config::fullDefault()));
    // These two answer any request alike: documented as one request, not as commands.
    for (const char* path : {"/v1/link/<linkID>/detect", "/v1/bundle/<linkID>/status"}) {
        EXPECT_TRUE(documentedCommands(path).empty()) << path;
        EXPECT_TRUE(endpoint(path).contains("request")) << path;
    }
}

TEST(ApiReference, EveryCommandHasAPurposeFieldsAnExampleOfItselfAndReplies) {
    for (const auto& entry : apiReference().at("endpoints")) {
        for (const auto& command : entry.at("commands")) {
            const std::string where =
                entry.at("path").get<std::string>() + " " + command.at("name").get<std::string>();
            EXPECT_FALSE(command.at("purpose").get<std::string>().empty()) << where;
            const json& example = command.at("example");
            EXPECT_EQ(example.at("command"), command.at("name")) << where;

            std::set<std::string> fields{"command"};
            for (const auto& field : command.at("fields")) {
                fields.insert(field.at("name").get<std::string>());
                EXPECT_TRUE(field.at("type").is_string()) << where;
                EXPECT_TRUE(field.at("required").is_boolean()) << where;
            }
            // An example key that is no documented field is a typo in one of the two.
            for (const auto& [key, value] : example.items()) {
                EXPECT_TRUE(fields.contains(key)) << where << ": example key " << key;
            }
            for (const auto& field : command.at("fields")) {
                if (field.at("required").get<bool>()) {
                    EXPECT_TRUE(example.contains(field.at("name"))) << where;
                }
            }
            EXPECT_FALSE(command.at("replies").empty()) << where;
        }
    }
}

// Replies are JSON written compactly with sorted keys (the text is the wire text), or the empty
// body: the gateway's are its own texts, and the bundle's results are the bundle service's.
TEST(ApiReference, DocumentedRepliesAreTheTextsTheCodeSends) {
    std::set<std::string> gatewayTexts;
    for (const auto& reply : apiReference().at("gatewayReplies")) {
        gatewayTexts.insert(textOf(reply));
    }
    EXPECT_EQ(gatewayTexts,
              (std::set<std::string>{
                  std::string(gateway::kOfflineReply), std::string(gateway::kInvalidPathReply),
                  std::string(gateway::kTooLargeReply), std::string(gateway::kNotProcessedReply),
                  std::string(net::HttpSession::kOversizeMessage), std::string()}));
    namespace text = bundle::reply_text;
    const std::set<std::string_view> bundleResults(
        {text::kOk, text::kParseError, text::kInvalidCommand, text::kInvalidSetup,
         text::kFirmwareUpdateRequired, text::kRealTimeAxesIncompatible, text::kMissingAxisValues,
         text::kNoResponse, text::kReadIndexDifferent, text::kValueOutOfRange,
         text::kPairingNotCompleted});
    // Each endpoint's replies: its own, its one request's and its commands'.
    for (const auto& entry : apiReference().at("endpoints")) {
        std::vector<json> lists{entry.at("replies"),
                                entry.value("request", json::object()).value("replies", json())};
        for (const auto& command : entry.at("commands")) {
            lists.push_back(command.at("replies"));
        }
        for (const auto& replies : lists) {
            for (const auto& reply : replies) {
                const std::string wire = textOf(reply);
                const json parsed = json::parse(wire, nullptr, false);
                EXPECT_TRUE(wire.empty() || core::dumpCompact(parsed) == wire) << wire;
                if (entry.at("path") == "/v1/bundle/<linkID>") {
                    EXPECT_TRUE(parsed.is_object() &&
                                bundleResults.contains(parsed.value("result", "")))
                        << wire;
                }
            }
        }
    }
}

TEST(ApiReference, ConfigurationRepliesAreTheBuiltInSectionsAndPorts) {
    for (const auto& name : keysOf(config::fullDefault())) {
        EXPECT_EQ(textOf(command("/v1/configuration", name).at("replies").at(0)),
                  core::dumpCompact(config::fullDefault().at(name)))
            << name;
    }
    const json& server = config::fullDefault().at("server");
    const json& transports = apiReference().at("transports");
    for (const auto& [transport, section] :
         {std::pair{"HTTP", "httpserver"}, {"WebSocket", "websocket"}, {"web", "webserver"}}) {
        EXPECT_EQ(std::to_string(transports.at(transport).at("defaultPort").get<int>()),
                  server.at(section).at("port"))
            << transport;
    }
}

}  // namespace
}  // namespace kinetra::docs
