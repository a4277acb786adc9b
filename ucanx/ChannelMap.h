#pragma once

#include <QString>

#include <optional>

namespace ucanx {

// A Qt Serial Bus device: plugin name ("socketcan", "virtualcan") and its interface name.
struct ChannelTarget {
    QString plugin;
    QString interface;
};

// The device a channel number stands for. Read from "ucanx.conf" in the working folder, one
// "<number> = <plugin>:<interface>" line per channel; without that file channel 1, 2, ... are the
// socketcan interfaces in the order Qt lists them. Nothing for a number that maps to no device.
std::optional<ChannelTarget> channelTarget(int number);

// The mapping of one configuration text, for the rule above.
std::optional<ChannelTarget> channelTargetIn(const QString& config, int number);

} // namespace ucanx
