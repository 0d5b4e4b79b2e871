// --metrics: GET /metrics over HTTP/1.1 (Boost.Beast over Boost.Asio), on a
// thread of its own so that a slow or hostile client never holds up the
// access load or the run's control loops: the run's thread only stores
// atomics (live_figures.h); the endpoint's thread reads them, and the
// system's figures, at each scrape. Every answer is the text exposition
// format 0.0.4 whatever the request's Accept says; any other path is 404,
// another method 405, a malformed request 400 and the connection closed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "headless/cli/metrics_address.h"

// Connections served at once: one more makes the oldest give way, so that
// idle or stalled clients cannot keep a scrape out.
constexpr unsigned kMetricsConnections = 16;
// A request's header must arrive within this, a keep-alive connection is
// closed after this long idle, and an answer must be taken within this.
constexpr unsigned kMetricsTimeoutSeconds = 5;
// The longest request header taken; a longer one is 400.
constexpr std::size_t kMetricsHeaderBytes = 8192;

class MetricsEndpoint {
public:
    // The exposition text at the moment of a scrape; called on the
    // endpoint's thread.
    using Body = std::function<std::string()>;

    MetricsEndpoint();
    ~MetricsEndpoint();  // stops it
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    // Binds and listens now, on the calling thread, so that a port in use or
    // an address this machine lacks ends the run before anything is taken.
    // False with `why`.
    bool open(const MetricsAddress& address, std::string& why);
    // The port it listens on, once open (port 0 asks the system for a free one).
    std::uint16_t port() const;
    // Serves from a thread of its own (part_thread.h, the stop signals
    // blocked there). False when the system would start none.
    bool start(Body body, std::string& why);
    // Closes the port and every connection; the thread has ended on return.
    void stop();

    struct State;

private:
    std::unique_ptr<State> state_;
};
