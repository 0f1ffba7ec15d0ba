// kinetra on a real broker: Debian's mosquitto on a free loopback port, kinetra-server processes
// with kinetra-sim links, and the test's own MQTT 5 client. All traffic stays on loopback.
#include <filesystem>
#include <fstream>
#include <map>

#include <gtest/gtest.h>

#include "mqtt/broker_rig.hpp"

namespace kinetra::mqtt::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kinetra::testing::postText;

const json kOk{{"result", "ok"}};

std::string moveTo(double pan) {
    return core::dumpCompact({{"command", "realTimeMoveFixedDuration"},
                              {"duration", 0.2},
                              {"headPan", pan},
                              {"headTilt", 0},
                              {"slide", 0}});
}

// The head's pan once it is `pan`, or the last one seen.
double panOf(const RunningServer& server, const std::string& link, double pan) {
    const auto status = server.postUntil("/v1/bundle/" + link + "/status", {}, [&](const json& s) {
        return hasStatus(s) && s["data"]["readings"].value("headPan", 1e9) == pan;
    });
    return hasStatus(status) ? status["data"]["readings"].value("headPan", 1e9) : 1e9;
}

json mqttStatus(const RunningServer& server, const std::function<bool(const json&)>& accept) {
    return server.postUntil("/v1/device", {{"command", "studioStatus"}}, [&](const json& s) {
        return s.contains("data") && accept(s["data"]["mqtt"]);
    })["data"]["mqtt"];
}

std::unique_ptr<ChildProcess> plugAndPair(const RunningServer& server, const std::string& link) {
    auto sim = server.plugIn(link, {"--pairing-ms", "100"});
    EXPECT_TRUE(server.linkIs(link)) << sim->output();
    EXPECT_TRUE(server.pairOverRj45(link));
    return sim;
}

// Times each thread of `pid` went to sleep of its own accord, summed by thread name.
std::map<std::string, long> sleepsByThread(int pid) {
    std::map<std::string, long> sleeps;
    std::error_code error;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.starts_with("voluntary_ctxt_switches:")) {
                sleeps[name.substr(0, name.find(':'))] += std::stol(line.substr(24));
            }
        }
    }
    return sleeps;
}

auto payloadIs(const std::string& text) {
    return [text](const Received& message) { return message.payload == text; };
}

TEST(MqttBroker,
     TwoServersShareABrokerOnlyOneActsOnCommandsAndAKilledBrokerIsRejoinedWithoutReplay) {
    Broker broker(Broker::Access::anonymous);
    Probe probe(broker.port(), {"kinetra/#", "homeassistant/#", "replies/#"});
    RunningServer a({}, mqttSection(broker, "kinetra/a", "commands=true\nhomeAssistant=true\n"));
    RunningServer b({}, mqttSection(broker, "kinetra/b"));
    ASSERT_TRUE(a.listening() && b.listening()) << a.process->output() << b.process->output();
    const auto simA = plugAndPair(a, "KMQA01");
    const auto simB = plugAndPair(b, "KMQB01");

    // One subscriber sees both servers under their prefixes.
    for (const auto& [prefix, link] :
         {std::pair{"kinetra/a/", "KMQA01"}, {"kinetra/b/", "KMQB01"}}) {
        EXPECT_TRUE(probe.next(prefix + std::string("online"), payloadIs("true"))) << prefix;
        EXPECT_TRUE(probe.next(prefix + std::string("links"), [&](const Received& m) {
            return listsLink({{"data", json::parse(m.payload)}}, link);
        }));
        EXPECT_TRUE(probe.next(prefix + std::string(link) + "/status", [](const Received& m) {
            return json::parse(m.payload).contains("readings");
        }));
        // The link's health, as linkStatistics answers it in "data".
        EXPECT_TRUE(probe.next(prefix + std::string(link) + "/health", [](const Received& m) {
            return json::parse(m.payload).value("framesIn", 0) > 0;
        }));
    }
    const std::string panConfig = "homeassistant/sensor/kinetra_a_KMQA01/headPan/config";
    EXPECT_TRUE(probe.next(panConfig, [](const Received& m) { return !m.payload.empty(); }));

    // A command answered on its response topic with its correlation data, byte for byte as
    // HTTP answers it.
    probe.publish("kinetra/a/KMQA01/command", moveTo(12), "replies/a", "c-1");
    const auto answer = probe.next("replies/a", [](const Received& m) {
        return m.correlation == std::optional<std::string>("c-1");
    });
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->payload, postText(a.httpPort, "/v1/bundle/KMQA01", moveTo(12)));
    EXPECT_EQ(panOf(a, "KMQA01", 12), 12);

    // Without a response topic the reply goes to <prefix>/reply; bad input is answered and not
    // carried out.
    const struct {
        const char* topic;
        const char* payload;
        const char* reply;  // null: any reply whose result is "ok"
    } requests[] = {
        {"kinetra/a/NOSUCH/command", R"({"command":"motionAbort"})", R"({"result":"offline"})"},
        {"kinetra/a/device/command", R"({"command":"device_found","linkID":"KFAKE"})",
         R"({"result":"forbidden"})"},
        {"kinetra/a/device/command", R"({"command":"linkStatus"})", nullptr},
        {"kinetra/a/abortAll", "pressed",
         R"({"data":[{"linkID":"KMQA01","result":"ok"}],"result":"ok"})"},
    };
    for (std::size_t i = 0; i < std::size(requests); ++i) {
        const auto& request = requests[i];
        const std::string correlation = "r-" + std::to_string(i);
        probe.publish(request.topic, request.payload, "", correlation);
        const auto reply = probe.next("kinetra/a/reply", [&](const Received& m) {
            return m.correlation == std::optional<std::string>(correlation);
        });
        ASSERT_TRUE(reply) << request.topic << " " << request.payload;
        if (request.reply != nullptr) {
            EXPECT_EQ(reply->payload, request.reply);
        } else {
            EXPECT_EQ(json::parse(reply->payload).value("result", ""), "ok") << reply->payload;
        }
    }
    EXPECT_FALSE(listsLink(a.post("/v1/device", {{"command", "linkStatus"}}), "KFAKE"));

    // The server without commands carries nothing out.
    probe.publish("kinetra/b/KMQB01/command", moveTo(12), "replies/b", "c-b");
    EXPECT_FALSE(probe.next("replies/b", {}, 1s));
    EXPECT_EQ(b.post("/v1/bundle/KMQB01/status")["data"]["readings"]["headPan"], 0);

    // A jog over MQTT is let go by the server 500 ms after its last refresh.
    Clock::time_point refreshed;
    for (int i = 0; i < 3; ++i) {
        probe.publish("kinetra/a/KMQA01/command",
                      R"({"command":"joystickMove","headPan":0.5,"headTilt":0})");
        refreshed = Clock::now();
        std::this_thread::sleep_for(200ms);
    }
    ASSERT_TRUE(simA->waitForOutput(": 06 0A 00 00 00 00", 3s)) << simA->output();
    const auto letGo = Clock::now() - refreshed;
    EXPECT_GE(letGo, 450ms);
    EXPECT_LE(letGo, 1500ms);

    // Stopped: the server says it is offline.
    auto from = probe.count();
    b.process->signal(SIGTERM);
    EXPECT_TRUE(probe.next("kinetra/b/online", payloadIs("false"), 10s, from));

    // A killed broker is rejoined without replaying anything while HTTP answers. Retained: the
    // broker would hand the command to every new subscription of the topic.
    from = probe.count();
    probe.publish("kinetra/a/KMQA01/command", moveTo(7), "replies/a", "before", true);
    ASSERT_TRUE(probe.next("replies/a", {}, 10s, from));
    EXPECT_EQ(panOf(a, "KMQA01", 7), 7);
    EXPECT_EQ(a.post("/v1/bundle/KMQA01", json::parse(moveTo(-7))), kOk);
    EXPECT_EQ(panOf(a, "KMQA01", -7), -7);
    const auto commands = mqttStatus(a, [](const json&) { return true; })["commands"];
    std::this_thread::sleep_for(1500ms);  // the broker has saved the retained command
    from = probe.count();
    broker.kill();
    EXPECT_EQ(mqttStatus(a, [](const json& m) { return m["state"] == "retrying"; })["state"],
              "retrying");
    EXPECT_EQ(a.post("/v1/device", {{"command", "linkStatus"}})["result"], "ok");
    ASSERT_TRUE(broker.start());
    const auto restarted = Clock::now();
    ASSERT_TRUE(probe.next("kinetra/a/online", payloadIs("true"), 10s, from));
    EXPECT_LT(Clock::now() - restarted, 5s);
    EXPECT_TRUE(probe.next(
        "kinetra/a/links",
        [](const Received& m) {
            return listsLink({{"data", json::parse(m.payload)}}, "KMQA01");
        },
        5s, from));
    // The restarted broker still holds the command, yet the move to 7 is not carried out again:
    // the head stays where HTTP put it.
    EXPECT_TRUE(probe.next(
        "kinetra/a/KMQA01/command", [](const Received& m) { return m.retained; }, 5s, from));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(a.post("/v1/bundle/KMQA01/status")["data"]["readings"]["headPan"], -7);
    const auto after = mqttStatus(a, [](const json& m) { return m["state"] == "connected"; });
    EXPECT_EQ(after["commands"], commands);

    // Unplugged: its Home Assistant device goes.
    from = probe.count();
    simA->signal(SIGTERM);
    EXPECT_TRUE(probe.next(panConfig, payloadIs(""), 10s, from));
}

TEST(MqttBroker, CredentialsAndCertificatesAreCheckedAndRefusalsReported) {
    const struct {
        Broker::Access access;
        const char* good;
        const char* bad;
        const char* badError;
    } cases[] = {
        {Broker::Access::password, "s3cret", "guess", "refused"},
        {Broker::Access::tls, "ca.crt", "other.crt", "certificate verify failed"},
    };
    for (const auto& [access, good, bad, badError] : cases) {
        Broker broker(access);
        const auto settings = [&](const char* secret) {
            if (access == Broker::Access::tls) {
                return "caFile=" + broker.file(secret) + "\n";
            }
            return "username=rig\npasswordFile=" +
                   broker.write(std::string("pass-") + secret, std::string(secret) + "\n") + "\n";
        };
        RunningServer trusted({}, mqttSection(broker, "kinetra/ok", settings(good)));
        RunningServer refused({}, mqttSection(broker, "kinetra/no", settings(bad)));
        ASSERT_TRUE(trusted.listening() && refused.listening());
        const auto connected =
            mqttStatus(trusted, [](const json& m) { return m["state"] == "connected"; });
        EXPECT_EQ(connected["state"], "connected") << connected << trusted.process->output();
        EXPECT_EQ(connected["url"], broker.url());
        const auto retrying = mqttStatus(refused, [](const json& m) {
            return m["state"] == "retrying" && !m["lastError"].get<std::string>().empty();
        });
        EXPECT_NE(retrying["lastError"].get<std::string>().find(badError), std::string::npos)
            << retrying;
        EXPECT_TRUE(refused.process->waitForOutput("MQTT: cannot connect to " + broker.url(), 2s))
            << refused.process->output();
        if (access == Broker::Access::password) {
            EXPECT_EQ(refused.process->output().find(bad), std::string::npos) << "secret logged";
        }
        EXPECT_EQ(refused.post("/v1/device", {{"command", "linkStatus"}})["result"], "ok");
    }
}

// What MQTT costs per link is mostly wake-ups: a status that goes out must wake the MQTT thread
// once, which writes it to the broker itself, and no other thread (a forwarder, a network loop)
// on its way; a status only to be replaced (above statusRate) must wake nobody.
TEST(MqttBroker, EachStatusSentWakesOnlyTheMqttThreadAboutOnce) {
    Broker broker(Broker::Access::anonymous);
    Probe probe(broker.port(), {"kinetra/+/+/status"});
    for (const auto* rate : {"100", "10"}) {
        SCOPED_TRACE(std::string("statusRate ") + rate);
        const std::string prefix = std::string("kinetra/w") + rate;
        RunningServer server({}, mqttSection(broker, prefix, std::string("statusRate=") + rate));
        ASSERT_TRUE(server.listening()) << server.process->output();
        const auto sim = plugAndPair(server, "KMQW01");
        ASSERT_TRUE(probe.next(prefix + "/KMQW01/status", {}, 10s));

        const auto before = sleepsByThread(server.process->pid());
        const auto from = probe.count();
        std::this_thread::sleep_for(4s);
        auto woken = sleepsByThread(server.process->pid());
        const auto sent = static_cast<long>(probe.count() - from);
        for (const auto& [name, count] : before) {
            woken[name] -= count;
        }
        ASSERT_GE(sent, 30);
        // Once per status sent, plus a few for the keep-alive, the health figures and the odd
        // spurious wake-up.
        EXPECT_LE(woken["mqtt"], sent + sent / 5 + 8) << sent;
        // The registry forwards nothing of it (announcements aside).
        EXPECT_LE(woken["registry"], sent / 10) << sent;
    }
}

}  // namespace
}  // namespace kinetra::mqtt::test
