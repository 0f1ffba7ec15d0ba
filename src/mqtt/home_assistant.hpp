// Home Assistant MQTT discovery: the retained config documents that make a paired bundle a
// device in Home Assistant, with a sensor per axis position and per device battery read from
// the bundle's status topic, and a "Stop all motion" button publishing to <prefix>/abortAll.
// Pure; used by the MQTT service thread.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "core/json.hpp"
#include "mqtt/topics.hpp"

namespace kinetra::mqtt {

/// Home Assistant's default discovery prefix.
inline constexpr std::string_view kDiscoveryPrefix = "homeassistant";

/// Config topic -> document for the bundle of `linkId` as its status "data" `status` shows it:
/// a sensor per reading, a battery sensor per device and, with `withButton`, the stop button.
/// A status without readings or devices gives only the button.
std::map<std::string, std::string> discoveryDocuments(const Topics& topics, std::string_view linkId,
                                                      const json& status, bool withButton);

/// What the documents of a status depend on (its reading names and device types): equal shapes
/// give equal documents, so a status needs no new documents while its shape stays.
std::string discoveryShape(const json& status);

}  // namespace kinetra::mqtt
