// The scanner's configuration and which ports it takes for links; then its passes, driven by
// scripted port listings, with stand-ins for the configuration service and the device service.
#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "bus/endpoints.hpp"
#include "bus/service_loop.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "device/link_scanner.hpp"
#include "gateway/gateway_test_support.hpp"
#include "settings/defaults.hpp"
#include "support/log_capture.hpp"

namespace kinetra::device {
namespace {

using namespace std::chrono_literals;
using Listing = std::optional<std::vector<serial::PortListing>>;

constexpr const char* kConfigEndpoint = "inproc://test/scanner/configuration";
constexpr const char* kDeviceEndpoint = "inproc://test/scanner/device";

// Each pass takes the next listing the test has queued; the scan thread waits in the lister
// until there is one, so the test decides when each pass runs and knows when one has ended.
class ScriptedPorts {
public:
    PortLister lister() {
        return [this] { return next(); };
    }

    void queue(Listing listing) {
        std::lock_guard lock(mutex_);
        pending_.push_back(std::move(listing));
        changed_.notify_all();
    }

    /// Waits until the scanner has asked for listing number `count` (1-based).
    bool waitForCall(int count, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return calls_ >= count; });
    }

    bool waitUntilTaken(std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return pending_.empty(); });
    }

    int calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

    /// Lets every waiting and later call return at once (before the scanner goes).
    void close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    }

private:
    Listing next() {
        std::unique_lock lock(mutex_);
        ++calls_;
        changed_.notify_all();
        changed_.wait_for(lock, 10s, [&] { return closed_ || !pending_.empty(); });
        if (pending_.empty()) {
            return std::nullopt;
        }
        auto listing = std::move(pending_.front());
        pending_.pop_front();
        changed_.notify_all();
        return listing;
    }

    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable changed_;
    std::deque<Listing> pending_;
    int calls_ = 0;
    bool closed_ = false;
};

serial::PortListing adapterOn(std::string port, std::string serial) {
    return {std::move(port), 0x0483, 0xA39F, std::move(serial), "Kinetra Link"};
}
serial::PortListing moduleOn(std::string port, std::string serial) {
    return {std::move(port), 0x0483, 0xA327, std::move(serial), "Kinetra Stop Motion"};
}

json defaultSection() {
    return config::serialDefault().at("serialConnection");
}

// Floats are truncated and booleans taken as numbers; a missing key or a wrong type fails, and
// so does a number out of range (a negative interval would wrap into half a million years).
TEST(ReadScannerConfig, TakesNumbersLooselyAndRefusesMissingKeysAndWrongTypes) {
    auto section = defaultSection();
    section["usb_info"]["scanInterval"] = 12.9;
    section["usb_info"]["link_adapter_vid"] = true;
    section["usb_info"]["smm_pid"] = 41767.99;
    const auto config = readScannerConfig(section);
    EXPECT_EQ(config.usb.scanInterval, 12U);
    EXPECT_EQ(config.usb.linkAdapterVid, 1);
    EXPECT_EQ(config.usb.smmPid, 41767);

    enum Failure { outOfRange, typeError };
    const struct {
        const char* pointer;
        json value;  // null: the key is removed
        Failure failure;
    } edits[] = {
        {"/usb_info", nullptr, outOfRange},
        {"/usb_info/smm_pid", nullptr, outOfRange},
        {"/moduleSerialPortInfo/link_adapter", nullptr, outOfRange},
        {"/moduleSerialPortInfo/stop_motion/flowControl", nullptr, outOfRange},
        {"/usb_info/autoScan", 1, typeError},
        {"/usb_info/scanInterval", true, typeError},
        {"/usb_info/smm_vid", "1155", typeError},
        {"/moduleSerialPortInfo/link_adapter/flowControl", 0, typeError},
        {"/usb_info/scanInterval", -1, outOfRange},
        {"/usb_info/link_adapter_pid", 4294967296LL, outOfRange},
    };
    for (const auto& edit : edits) {
        auto edited = defaultSection();
        const json::json_pointer at(edit.pointer);
        if (edit.value.is_null()) {
            edited[at.parent_pointer()].erase(at.back());
        } else {
            edited[at] = edit.value;
        }
        if (edit.failure == outOfRange) {
            EXPECT_THROW(readScannerConfig(edited), json::out_of_range) << edit.pointer;
        } else {
            EXPECT_THROW(readScannerConfig(edited), json::type_error) << edit.pointer;
        }
    }
}

TEST(RecogniseLink, TakesOnlyOurIdsWithLongEnoughSerialNumbers) {
    auto config = readScannerConfig(defaultSection());
    config.stopMotion.baudrate = 57600;  // tells the two settings apart
    using Port = serial::PortListing;
    const std::pair<serial::PortListing, std::optional<model::LinkType>> cases[] = {
        {adapterOn("a", "0123456789"), std::nullopt},
        {adapterOn("a", "0123456789A"), model::LinkType::linkAdapter},
        {moduleOn("m", "0123456789AB"), std::nullopt},
        {moduleOn("m", "0123456789ABC"), model::LinkType::stopMotionModule},
        {Port{"x", 0x0483, 0x5740, "0123456789ABC", "Kinetra Link"}, std::nullopt},
        {Port{"x", 0x1234, 0xA39F, "0123456789ABC", "Kinetra Link"}, std::nullopt},
        {Port{"d", 0x0483, 0xA39F, "0123456789ABC", "TurretAlpha Usb Dongle"}, std::nullopt},
        {Port{"d", 0x0483, 0xA327, "0123456789ABC", "Acme TurretAlpha Usb Dongle v2"},
         std::nullopt},
        {Port{"/dev/ttyS0", std::nullopt, std::nullopt, "", "ttyS0"}, std::nullopt},
    };
    for (const auto& [port, expected] : cases) {
        const auto link = recogniseLink(port, config, "100");
        ASSERT_EQ(link.has_value(), expected.has_value())
            << port.name << " " << port.usbSerialNumber;
        if (link) {
            EXPECT_EQ(link->linkType, *expected);
            EXPECT_EQ(link->linkID, port.usbSerialNumber);
            EXPECT_EQ(link->portName, port.name);
            EXPECT_EQ(link->portInfo, *expected == model::LinkType::linkAdapter
                                          ? config.linkAdapter
                                          : config.stopMotion);
        }
    }
}

class LinkScannerTest : public ::testing::Test {
protected:
    ~LinkScannerTest() override {
        ports_.close();
        scanner_.reset();
    }

    void start(bool autoScan, std::uint64_t intervalMs = 1) {
        device_.set(zmq::sockopt::linger, 0);
        bus::bindWhenFree(device_, kDeviceEndpoint);
        auto section = defaultSection();
        section["usb_info"]["autoScan"] = autoScan;
        section["usb_info"]["scanInterval"] = intervalMs;
        config_.emplace(
            kConfigEndpoint,
            [text = core::dumpCompact(section)](const std::string&) { return text; }, false);
        scanner_ = std::make_unique<LinkScanner>(kConfigEndpoint, kDeviceEndpoint, ports_.lister());
    }

    std::vector<json> pass(Listing listing) {
        const int call = ports_.calls();
        ports_.queue(std::move(listing));
        // The next call to the lister means the pass and its events are through.
        EXPECT_TRUE(ports_.waitForCall(call + 1));
        return takeEvents();
    }

    std::vector<json> takeEvents() {
        std::vector<json> events;
        while (auto message = bus::receiveWithin(device_, 50ms)) {
            events.push_back(json::parse(message->to_string_view()));
            bus::trySend(device_, "{}");
        }
        return events;
    }

    std::string request(std::string_view endpoint) {
        auto socket = bus::makeRequestSocket(*context_, std::string(endpoint));
        bus::trySend(socket, "{}");
        const auto reply = bus::receiveWithin(socket, 2s);
        return reply ? std::string(reply->to_string_view()) : std::string("no reply");
    }

    std::shared_ptr<zmq::context_t> context_ = bus::SocketRegistry::instance().context();
    zmq::socket_t device_{*context_, zmq::socket_type::rep};
    std::optional<gateway::test::FakeService> config_;  // answers with the serial section
    ScriptedPorts ports_;
    std::unique_ptr<LinkScanner> scanner_;
};

// "command" and port of each event, e.g. "device_found COM3".
std::vector<std::string> summary(const std::vector<json>& events) {
    std::vector<std::string> lines;
    for (const auto& event : events) {
        lines.push_back(event.at("command").get<std::string>() + " " +
                        event.at("portName").get<std::string>());
    }
    return lines;
}

using Lines = std::vector<std::string>;

// Devices are matched by port name; one lost device is reported per pass, in known order.
TEST_F(LinkScannerTest, PassesReportWhatChangedSinceThePassBefore) {
    const std::vector<serial::PortListing> none;
    const struct {
        const char* what;
        Listing listing;
        Lines events;
    } passes[] = {
        {"found",
         std::vector{adapterOn("A", "AAAAAAAAAAAA"), adapterOn("B", "BBBBBBBBBBBB"),
                     moduleOn("C", "CCCCCCCCCCCCC")},
         {"device_found A", "device_found B", "device_found C"}},
        {"still plugged in, another serial number on a known port",
         std::vector{adapterOn("A", "SERIAL000002"), adapterOn("B", "BBBBBBBBBBBB"),
                     moduleOn("C", "CCCCCCCCCCCCC")},
         {}},
        {"a failed listing is no sign that a device went", std::nullopt, {}},
        {"moved: found there and lost on the old port in the same pass",
         std::vector{adapterOn("D", "AAAAAAAAAAAA"), adapterOn("B", "BBBBBBBBBBBB"),
                     moduleOn("C", "CCCCCCCCCCCCC")},
         {"device_found D", "device_disconnected A"}},
        {"all gone: the first known", none, {"device_disconnected B"}},
        {"then the next", none, {"device_disconnected C"}},
        {"and the last", none, {"device_disconnected D"}},
        {"nothing left", none, {}},
        {"plugged in again", std::vector{adapterOn("B", "BBBBBBBBBBBB")}, {"device_found B"}},
    };
    start(true);
    ASSERT_TRUE(ports_.waitForCall(1));
    for (const auto& step : passes) {
        EXPECT_EQ(summary(pass(step.listing)), step.events) << step.what;
    }
}

// Without auto-scan nothing is listed until a scan request; a stop lets the pass under way end
// and starts no other, and the known devices are kept for the restart.
TEST_F(LinkScannerTest, ScansOnRequestAndKeepsTheKnownDevicesOverAStop) {
    testing::LogCapture log;
    start(false);
    ports_.queue(std::vector{adapterOn("A", "SERIAL000001"), adapterOn("B", "SERIAL000002")});
    EXPECT_FALSE(ports_.waitForCall(1, 200ms));
    EXPECT_FALSE(scanner_->isScanning());

    EXPECT_EQ(request(bus::kLinkScanEndpoint), R"({"result":"ok"})");
    EXPECT_TRUE(scanner_->isScanning());
    ASSERT_TRUE(ports_.waitForCall(2));
    EXPECT_EQ(summary(takeEvents()), (Lines{"device_found A", "device_found B"}));
    EXPECT_EQ(request(bus::kLinkScanEndpoint), R"({"result":"ok"})");
    EXPECT_EQ(log.count("info: The scanning has been already continuing."), 1);

    EXPECT_EQ(request(bus::kLinkScanStopEndpoint), R"({"result":"ok"})");
    EXPECT_EQ(log.count("info: Scanning has been stopped."), 1);
    EXPECT_FALSE(scanner_->isScanning());
    ports_.queue(std::vector{adapterOn("A", "SERIAL000001"), adapterOn("B", "SERIAL000002")});
    ASSERT_TRUE(ports_.waitUntilTaken());
    EXPECT_TRUE(takeEvents().empty());
    const int calls = ports_.calls();
    ports_.queue(std::vector{adapterOn("A", "SERIAL000001"), adapterOn("C", "SERIAL000003")});
    EXPECT_FALSE(ports_.waitForCall(calls + 1, 200ms));

    // While stopped, B went and C came; A stayed and is not reported again.
    EXPECT_EQ(request(bus::kLinkScanEndpoint), R"({"result":"ok"})");
    ASSERT_TRUE(ports_.waitForCall(calls + 2));
    EXPECT_EQ(summary(takeEvents()), (Lines{"device_found C", "device_disconnected B"}));
    EXPECT_EQ(log.count("info: The scanning has been already continuing."), 1);
}

TEST_F(LinkScannerTest, ALongPauseDoesNotHoldUpDestruction) {
    start(true, 3'600'000);
    ASSERT_TRUE(ports_.waitForCall(1));
    ports_.queue(std::vector{adapterOn("A", "SERIAL000001")});
    // The pass has sent its event; the thread is in (or about to enter) its hour-long pause.
    ASSERT_TRUE(bus::receiveWithin(device_, 5s));
    const auto begin = std::chrono::steady_clock::now();
    scanner_.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
}

}  // namespace
}  // namespace kinetra::device
