// The API reference against the code's own tables: the commands each service dispatches, the
// gateway's replies, the configuration sections and the default ports.
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bundle/command_plan.hpp"
#include "config/defaults.hpp"
#include "discovery/bundle_controller.hpp"
#include "docs/api_reference.hpp"
#include "gateway/gateway_texts.hpp"
#include "link/link_commands.hpp"
#include "net/http_session.hpp"

namespace kinetra::docs {
namespace {

template <typename Names>
std::set<std::string> asSet(const Names& names) {
    return {names.begin(), names.end()};
}

std::set<std::string> sectionNames() {
    std::set<std::string> names;
    for (const auto& [name, value] : config::fullDefault().items()) {
        names.insert(name);
    }
    return names;
}

// Every reply text as documented anywhere: gateway, endpoint-wide, per command and per request.
std::vector<std::string> replyTexts(const json& replies) {
    std::vector<std::string> texts;
    for (const auto& reply : replies) {
        texts.push_back(reply.at("text").get<std::string>());
    }
    return texts;
}

TEST(ApiReference, ListsTheEndpointsClientsCanReachAndTheInternalConfiguration) {
    std::set<std::string> paths;
    for (const auto& entry : apiReference().at("endpoints")) {
        paths.insert(entry.at("path").get<std::string>());
    }
    EXPECT_EQ(paths, (std::set<std::string>{"/v1/device", "/v1/link/<linkID>",
                                            "/v1/link/<linkID>/detect", "/v1/bundle/<linkID>",
                                            "/v1/bundle/<linkID>/status", "/v1/configuration"}));
}

TEST(ApiReference, DocumentsExactlyTheCommandsEachServiceDispatches) {
    EXPECT_EQ(documentedCommands("/v1/device"), asSet(discovery::BundleController::kCommands));
    EXPECT_EQ(documentedCommands("/v1/link/<linkID>"), asSet(link::linkServiceCommandNames()));
    EXPECT_EQ(documentedCommands("/v1/bundle/<linkID>"), asSet(bundle::commandNames()));
    EXPECT_EQ(documentedCommands("/v1/configuration"), sectionNames());
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
            ASSERT_FALSE(command.at("replies").empty()) << where;
        }
    }
}

TEST(ApiReference, EveryDocumentedReplyIsJsonOrTheEmptyBody) {
    std::vector<json> lists{apiReference().at("gatewayReplies")};
    for (const auto& entry : apiReference().at("endpoints")) {
        lists.push_back(entry.at("replies"));
        if (entry.contains("request")) {
            lists.push_back(entry.at("request").at("replies"));
        }
        for (const auto& command : entry.at("commands")) {
            lists.push_back(command.at("replies"));
        }
    }
    for (const auto& replies : lists) {
        for (const auto& text : replyTexts(replies)) {
            if (!text.empty()) {
                const json parsed = json::parse(text, nullptr, false);
                EXPECT_FALSE(parsed.is_discarded()) << text;
                // Replies are written compactly with sorted keys: the text is the wire text.
                EXPECT_EQ(core::dumpCompact(parsed), text);
            }
        }
    }
}

TEST(ApiReference, GatewayRepliesAreTheGatewaysOwnTexts) {
    const auto texts = replyTexts(apiReference().at("gatewayReplies"));
    const std::set<std::string> documented(texts.begin(), texts.end());
    const std::set<std::string> sent{std::string(gateway::kOfflineReply),
                                     std::string(gateway::kInvalidPathReply),
                                     std::string(gateway::kTooLargeReply),
                                     std::string(gateway::kNotProcessedReply),
                                     std::string(net::HttpSession::kOversizeMessage),
                                     std::string()};
    EXPECT_EQ(documented, sent);
}

TEST(ApiReference, BundleErrorResultsAreTheBundleServicesTexts) {
    namespace text = bundle::reply_text;
    const std::set<std::string> known{std::string(text::kOk),
                                      std::string(text::kParseError),
                                      std::string(text::kInvalidCommand),
                                      std::string(text::kInvalidSetup),
                                      std::string(text::kFirmwareUpdateRequired),
                                      std::string(text::kRealTimeAxesIncompatible),
                                      std::string(text::kMissingAxisValues),
                                      std::string(text::kNoResponse),
                                      std::string(text::kReadIndexDifferent),
                                      std::string(text::kValueOutOfRange),
                                      std::string(text::kPairingNotCompleted)};
    const json& bundleEndpoint = endpoint("/v1/bundle/<linkID>");
    std::vector<std::string> texts = replyTexts(bundleEndpoint.at("replies"));
    for (const auto& command : bundleEndpoint.at("commands")) {
        const auto more = replyTexts(command.at("replies"));
        texts.insert(texts.end(), more.begin(), more.end());
    }
    for (const auto& reply : texts) {
        EXPECT_TRUE(known.contains(json::parse(reply).at("result").get<std::string>())) << reply;
    }
}

TEST(ApiReference, ConfigurationRepliesAreTheBuiltInSectionsAndPorts) {
    for (const auto& name : sectionNames()) {
        EXPECT_EQ(command("/v1/configuration", name).at("replies").at(0).at("text"),
                  core::dumpCompact(config::fullDefault().at(name)))
            << name;
    }
    const json& server = config::fullDefault().at("server");
    const json& transports = apiReference().at("transports");
    EXPECT_EQ(std::to_string(transports.at("HTTP").at("defaultPort").get<int>()),
              server.at("httpserver").at("port"));
    EXPECT_EQ(std::to_string(transports.at("WebSocket").at("defaultPort").get<int>()),
              server.at("websocket").at("port"));
    EXPECT_EQ(std::to_string(transports.at("web").at("defaultPort").get<int>()),
              server.at("webserver").at("port"));
}

}  // namespace
}  // namespace kinetra::docs
