// The feed: one process-wide publish/subscribe channel for state that is pushed, not asked for
// (each bundle's decoded status, the device service's list of links). Publishers connect a PUB
// to kFeedPublish, subscribers a SUB to kFeedSubscribe; the registry thread forwards between
// them (XSUB/XPUB), so subscriptions travel up to the publishers and a topic nobody wants is
// never sent at all. Each socket belongs to the thread that made it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <zmq.hpp>

namespace kinetra::bus {

/// Publishers connect here (the registry binds the XSUB end).
inline constexpr std::string_view kFeedPublish = "inproc://feed/publish";
/// Subscribers connect here (the registry binds the XPUB end).
inline constexpr std::string_view kFeedSubscribe = "inproc://feed/subscribe";

/// The second way in, for the one subscriber that takes status at its full rate: every publisher
/// also connects here, and the SUB bound here receives straight from the publishers, without the
/// registry thread waking to forward each message. See makeDirectFeedSubscriber.
inline constexpr std::string_view kFeedDirect = "inproc://feed/direct";

/// The list of links: body = what linkStatus answers in "data".
inline constexpr std::string_view kLinksTopic = "links";

/// One bundle's status: body = what /v1/bundle/<linkID>/status answers in "data".
inline std::string statusTopic(std::string_view linkId) {
    return std::string("status/").append(linkId);
}

/// One link's health figures, once a second: body = what linkStatistics on /v1/link/<linkID>
/// answers in "data".
inline std::string healthTopic(std::string_view linkId) {
    return std::string("health/").append(linkId);
}

/// Queued messages per peer before the feed drops (newer state follows soon anyway).
inline constexpr int kFeedHighWaterMark = 1000;

/// A PUB socket connected to the feed, linger 0. Publishing on it is cheap while nobody
/// subscribes: the subscription filter runs on the publisher's side.
zmq::socket_t makeFeedPublisher(zmq::context_t& context);

/// A SUB socket connected to the feed with no topic yet; add topics with
/// `set(zmq::sockopt::subscribe, topic)`. Topics match by prefix ("status/A" also receives
/// "status/AB"): compare the received topic frame exactly.
zmq::socket_t makeFeedSubscriber(zmq::context_t& context);

/// A SUB socket bound at kFeedDirect, linger 0: the publishers, connected there since they were
/// made, send it the topics it subscribes to directly. One per process for its whole life (a
/// publisher does not connect again to a later one); throws zmq::error_t when one is bound
/// already. Subscribe and unsubscribe with subscribeDirect, which keeps isWanted right.
zmq::socket_t makeDirectFeedSubscriber(zmq::context_t& context);

/// Adds (`on`) or removes `topic` on a subscriber made by makeDirectFeedSubscriber. Each topic
/// once: a second subscription to the same topic is not counted apart.
void subscribeDirect(zmq::socket_ref subscriber, std::string_view topic, bool on = true);

/// Sends [topic, body] without blocking; false when the message was dropped (queue full, or no
/// feed). Never throws for a full queue.
bool publish(zmq::socket_ref publisher, std::string_view topic, std::string_view body);

/// True when some subscriber's topic is a prefix of `topic`: a publisher asks before it builds a
/// costly body nobody would receive. Any thread.
bool isWanted(std::string_view topic);

/// Keeps the table isWanted reads: the registry thread passes each subscription message the
/// feed's XPUB end forwards (first byte 1 = subscribe, 0 = unsubscribe, then the topic). XPUB
/// passes a topic's first subscription and its last unsubscription, so a count per topic is
/// enough.
void noteSubscription(std::string_view message);

/// One message taken from a subscriber.
struct FeedMessage {
    std::string topic;
    std::string body;
};

/// Takes one whole message from `subscriber` without blocking, if one is waiting. A message
/// that does not have exactly two frames is dropped (nothing returned).
std::optional<FeedMessage> tryReceiveFeed(zmq::socket_ref subscriber);

}  // namespace kinetra::bus
