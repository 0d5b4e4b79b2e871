// Where --metrics listens: "[HOST:]PORT", the host a numeric address only.
// The static build in a scratch image has no name service to ask, so a name
// that resolved on the build machine would fail in the pod. Portable.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

struct MetricsAddress {
    std::string host = "127.0.0.1";  // numeric, without brackets
    bool ipv6 = false;
    std::uint16_t port = 0;
};

// "9464" (127.0.0.1), "0.0.0.0:9464", "127.0.0.1:9464", "[::1]:9464",
// "[::]:9464". Nothing for a host name, an IPv6 address without brackets, a
// port outside 1 to 65535 or anything else; `why` then says what was wrong
// and what would be right.
std::optional<MetricsAddress> parseMetricsAddress(const std::string& text, std::string& why);

// "127.0.0.1:9464", "[::1]:9464": as the address is written back to the user.
std::string shownAddress(const MetricsAddress& address);

extern const char kMetricsAddressForms[];
