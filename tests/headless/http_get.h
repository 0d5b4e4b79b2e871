// Plain HTTP/1.1 over a socket to 127.0.0.1, for the tests of the metrics
// endpoint and of the servers they check it with: requests sent byte for
// byte as written, answers taken apart.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

struct HttpAnswer {
    int status = 0;                              // 0: no answer
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    bool closed = false;  // the server closed the connection after it
};

// A socket connected to 127.0.0.1:port, or -1.
inline int connectLocal(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A port of 127.0.0.1 that was free a moment ago.
inline std::uint16_t freeLocalPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

// Sends `request` on `fd` and reads one answer, within `timeoutMs`.
inline HttpAnswer exchangeOn(int fd, const std::string& request, int timeoutMs = 5000) {
    HttpAnswer answer;
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return answer;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string raw;
    std::size_t headerEnd = std::string::npos, wanted = std::string::npos;
    for (;;) {
        if (headerEnd != std::string::npos && wanted != std::string::npos && raw.size() >= headerEnd + 4 + wanted) break;
        const int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
        if (left <= 0) return answer;
        pollfd ready = {fd, POLLIN, 0};
        if (poll(&ready, 1, left) <= 0) continue;
        char chunk[65536];
        const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) {
            answer.closed = true;
            break;
        }
        raw.append(chunk, static_cast<std::size_t>(got));
        if (headerEnd == std::string::npos && (headerEnd = raw.find("\r\n\r\n")) != std::string::npos) {
            std::size_t at = raw.find("\r\n") + 2;
            answer.status = std::atoi(raw.substr(raw.find(' ') + 1, 3).c_str());
            while (at < headerEnd) {
                const std::size_t lineEnd = raw.find("\r\n", at);
                const std::string line = raw.substr(at, lineEnd - at);
                const std::size_t colon = line.find(':');
                std::string name = line.substr(0, colon);
                for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                std::string value = line.substr(colon + 1);
                while (!value.empty() && value[0] == ' ') value.erase(0, 1);
                answer.headers[name] = value;
                at = lineEnd + 2;
            }
            // A HEAD answer names its body's length but has none.
            if (request.rfind("HEAD ", 0) == 0) wanted = 0;
            else if (answer.headers.count("content-length")) wanted = std::stoul(answer.headers["content-length"]);
        }
    }
    if (headerEnd == std::string::npos) return HttpAnswer{0, {}, {}, answer.closed};
    answer.body = raw.substr(headerEnd + 4);
    return answer;
}

// Whether the server closes `fd` within `timeoutMs` (reading what comes).
inline bool closedWithin(int fd, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        pollfd ready = {fd, POLLIN, 0};
        if (poll(&ready, 1, 50) <= 0) continue;
        char chunk[4096];
        if (recv(fd, chunk, sizeof chunk, 0) <= 0) return true;
    }
    return false;
}

// One request on a connection of its own, closed afterwards.
inline HttpAnswer exchange(std::uint16_t port, const std::string& request, int timeoutMs = 5000) {
    const int fd = connectLocal(port);
    if (fd < 0) return {};
    HttpAnswer answer = exchangeOn(fd, request, timeoutMs);
    if (!answer.closed && answer.status != 0) answer.closed = closedWithin(fd, 300);
    close(fd);
    return answer;
}

inline HttpAnswer httpGet(std::uint16_t port, const std::string& target, int timeoutMs = 5000) {
    return exchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", timeoutMs);
}
