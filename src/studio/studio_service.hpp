// The studio outputs: FreeD camera tracking out, OSC show control and VISCA camera control in,
// on the bus like every service. The feed thread follows the links and each bundle's status (and
// sends OSC feedback); the FreeD sender and the OSC and VISCA receivers run their own threads and
// read what it keeps.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include <zmq.hpp>

#include "core/json.hpp"
#include "platform/service_thread.hpp"
#include "studio/freed_sender.hpp"
#include "studio/link_table.hpp"
#include "studio/osc_feedback.hpp"
#include "studio/osc_receiver.hpp"
#include "studio/studio_counters.hpp"
#include "studio/studio_settings.hpp"
#include "studio/visca_receiver.hpp"

namespace kinetra::studio {

class StudioService {
public:
    /// Reads [freed], [osc], [visca] and [security] from the configuration service at
    /// `configurationEndpoint` and starts with them.
    explicit StudioService(const std::string& configurationEndpoint);
    /// Subscribes to the feed and starts the outputs `settings` turns on. An output that cannot
    /// start (an OSC port taken, say) is logged and reported as the last error; the rest runs.
    explicit StudioService(StudioSettings settings);
    /// Stops the outputs, then the feed thread, then the VISCA input it wakes.
    ~StudioService();
    StudioService(const StudioService&) = delete;
    StudioService& operator=(const StudioService&) = delete;

    /// The "data" of the device service's studioStatus: settings, camera ids and counters.
    /// Thread-safe.
    json status() const;

private:
    json viscaStatus() const;
    void follow();
    void take(const std::string& topic, const std::string& body);
    std::vector<LiveLink> liveCameras(SteadyTime now) const;

    const StudioSettings settings_;
    StudioCounters counters_;
    mutable std::mutex mutex_;  // guards links_
    LinkTable links_;

    std::shared_ptr<zmq::context_t> context_;
    zmq::socket_t subscriber_;               // feed SUB, feed thread
    std::unique_ptr<OscFeedback> feedback_;  // feed thread
    // Made before the feed thread starts and ended after it stops: the feed thread wakes it.
    std::unique_ptr<ViscaReceiver> visca_;
    platform::ServiceThread feedThread_;
    // The outputs go before the feed thread whose table they read.
    std::unique_ptr<FreedSender> freed_;
    std::unique_ptr<OscReceiver> osc_;
};

}  // namespace kinetra::studio
