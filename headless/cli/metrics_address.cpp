#include "headless/cli/metrics_address.h"

#include <cstdio>

namespace {
bool allDigits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// A dotted quad of four decimal parts 0 to 255, without leading zeros (which
// some readers take for octal).
bool isIPv4(const std::string& text) {
    unsigned parts = 0;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t dot = text.find('.', at);
        const std::string part = text.substr(at, dot == std::string::npos ? std::string::npos : dot - at);
        if (!allDigits(part) || part.size() > 3 || (part.size() > 1 && part[0] == '0') || std::stoi(part) > 255)
            return false;
        ++parts;
        if (dot == std::string::npos) break;
        at = dot + 1;
    }
    return parts == 4;
}

unsigned hexValue(char c) {
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
    return 16;
}

// RFC 4291's text forms: eight groups of 1 to 4 hex digits, one "::" for a
// run of zero groups, an IPv4 tail for the last two. No zone ("%eth0").
bool isIPv6(const std::string& text) {
    if (text.empty() || text.size() > 45) return false;
    const std::size_t gap = text.find("::");
    if (gap != std::string::npos && text.find("::", gap + 1) != std::string::npos) return false;
    unsigned groups = 0;
    const auto countGroups = [&groups](const std::string& side, bool last) {
        if (side.empty()) return true;
        std::size_t at = 0;
        for (;;) {
            const std::size_t colon = side.find(':', at);
            const std::string group = side.substr(at, colon == std::string::npos ? std::string::npos : colon - at);
            if (colon == std::string::npos && last && group.find('.') != std::string::npos) {
                if (!isIPv4(group)) return false;
                groups += 2;
                return true;
            }
            if (group.empty() || group.size() > 4) return false;
            for (char c : group)
                if (hexValue(c) > 15) return false;
            ++groups;
            if (colon == std::string::npos) return true;
            at = colon + 1;
        }
    };
    if (gap == std::string::npos) return countGroups(text, true) && groups == 8;
    return countGroups(text.substr(0, gap), false) && countGroups(text.substr(gap + 2), true) && groups < 8;
}

bool looksLikeName(const std::string& host) {
    for (char c : host) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-') return true;
    }
    return false;
}
}  // namespace

const char kMetricsAddressForms[] = "e.g. 9464, 127.0.0.1:9464, 0.0.0.0:9464 (every address) or [::1]:9464";

std::optional<MetricsAddress> parseMetricsAddress(const std::string& text, std::string& why) {
    MetricsAddress address;
    std::string port = text;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find("]:");
        if (close == std::string::npos) {
            why = "\"" + text + "\" has no port after the bracketed address; " + kMetricsAddressForms;
            return std::nullopt;
        }
        address.host = text.substr(1, close - 1);
        address.ipv6 = true;
        port = text.substr(close + 2);
        if (!isIPv6(address.host)) {
            why = "\"" + address.host + "\" is not an IPv6 address; " + kMetricsAddressForms;
            return std::nullopt;
        }
    } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
        address.host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (address.host.find(':') != std::string::npos) {
            why = "an IPv6 address goes in brackets before the port, e.g. [::1]:9464";
            return std::nullopt;
        }
        if (address.host.empty()) {
            why = "the address before ':' is missing; " + std::string(kMetricsAddressForms);
            return std::nullopt;
        }
        if (!isIPv4(address.host)) {
            why = looksLikeName(address.host)
                      ? "\"" + address.host +
                            "\" is a host name; give a numeric address (no name is looked up), e.g. 127.0.0.1:9464 "
                            "or 0.0.0.0:9464"
                      : "\"" + address.host + "\" is not an IPv4 address; " + kMetricsAddressForms;
            return std::nullopt;
        }
    }
    if (!allDigits(port) || port.size() > 5 || std::stoul(port) < 1 || std::stoul(port) > 65535) {
        why = "\"" + port + "\" is not a port from 1 to 65535; " + kMetricsAddressForms;
        return std::nullopt;
    }
    address.port = static_cast<std::uint16_t>(std::stoul(port));
    return address;
}

std::string shownAddress(const MetricsAddress& address) {
    char port[8];
    std::snprintf(port, sizeof port, "%u", static_cast<unsigned>(address.port));
    return (address.ipv6 ? "[" + address.host + "]" : address.host) + ":" + port;
}
