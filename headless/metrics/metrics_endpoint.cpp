#include "headless/metrics/metrics_endpoint.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <chrono>
#include <list>
#include <optional>
#include <string_view>

#include "headless/metrics/exposition.h"
#include "headless/system/listen_socket.h"
#include "headless/system/part_thread.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {
class Connection;
constexpr std::chrono::seconds kTimeout(kMetricsTimeoutSeconds);
// After the system refused a connection (no descriptors left, say): look
// again this much later rather than spin.
constexpr std::chrono::milliseconds kAcceptRetry(100);
}  // namespace

// Members in this order: the io_context is destroyed before the list that
// the connections it still holds leave when they go.
struct MetricsEndpoint::State {
    std::list<Connection*> open;  // oldest first
    Body body;
    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    asio::steady_timer retry{io};
    tcp protocol = tcp::v4();
    PartThread* thread = nullptr;

    void acceptNext();
    void takeWaiting();
    void admit(tcp::socket socket);
};

namespace {
bool isHttpError(const beast::error_code& ec) {
    return ec.category() == http::make_error_code(http::error::bad_method).category();
}

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(MetricsEndpoint::State& server, tcp::socket socket) : server_(server), stream_(std::move(socket)) {
        place_ = server_.open.insert(server_.open.end(), this);
    }
    ~Connection() { leave(); }

    void readRequest() {
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(kMetricsHeaderBytes));
        stream_.expires_after(kTimeout);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRead(ec); });
    }

    // Ends the connection now; its pending reads and writes end with it.
    void close() {
        leave();
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.socket().close(ignored);
    }

private:
    void leave() {
        if (!listed_) return;
        server_.open.erase(place_);
        listed_ = false;
    }

    void onRead(beast::error_code ec) {
        if (ec) {
            // A request that breaks the format's rules (or comes with a body,
            // or too long a header) is told so; a client that went away or
            // sent nothing in time is closed.
            if (isHttpError(ec) && ec != http::error::end_of_stream && ec != http::error::partial_message) {
                respond(http::status::bad_request, 11, false, false, "Bad request: " + ec.message() + "\n");
                return;
            }
            close();
            return;
        }
        const auto& request = parser_->get();
        const bool head = request.method() == http::verb::head;
        const bool keepAlive = request.keep_alive();
        if (request.method() != http::verb::get && !head) {
            respond(http::status::method_not_allowed, request.version(), keepAlive, false,
                    "Only GET and HEAD: the metrics are at GET /metrics\n");
            return;
        }
        std::string_view target(request.target().data(), request.target().size());
        target = target.substr(0, target.find('?'));
        if (target != "/metrics") {
            respond(http::status::not_found, request.version(), keepAlive, head,
                    "Not found: the metrics are at /metrics\n");
            return;
        }
        respond(http::status::ok, request.version(), keepAlive, head, server_.body());
    }

    void respond(http::status status, unsigned version, bool keepAlive, bool head, std::string body) {
        response_ = {};
        response_.version(version);
        response_.result(status);
        response_.set(http::field::content_type,
                      status == http::status::ok ? kExpositionContentType : "text/plain; charset=utf-8");
        if (status == http::status::method_not_allowed) response_.set(http::field::allow, "GET, HEAD");
        response_.keep_alive(keepAlive);
        const std::size_t length = body.size();
        if (!head) response_.body() = std::move(body);
        response_.content_length(length);
        stream_.expires_after(kTimeout);
        http::async_write(stream_, response_,
                          [self = shared_from_this(), keepAlive](beast::error_code ec, std::size_t) {
                              if (ec || !keepAlive) {
                                  self->close();
                                  return;
                              }
                              self->readRequest();
                          });
    }

    MetricsEndpoint::State& server_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_{kMetricsHeaderBytes};
    std::optional<http::request_parser<http::empty_body>> parser_;
    http::response<http::string_body> response_;
    std::list<Connection*>::iterator place_;
    bool listed_ = true;
};

void serve(void* context) {
    auto* state = static_cast<MetricsEndpoint::State*>(context);
    // A handler's exception (memory running out mid-answer) ends that
    // answer, not the endpoint.
    for (;;) {
        try {
            state->io.run();
            return;
        } catch (...) {
        }
    }
}
}  // namespace

void MetricsEndpoint::State::admit(tcp::socket socket) {
    if (open.size() >= kMetricsConnections) open.front()->close();
    std::make_shared<Connection>(*this, std::move(socket))->readRequest();
}

void MetricsEndpoint::State::takeWaiting() {
    for (;;) {
        int error = 0;
        const NativeSocket taken = acceptConnection(acceptor.native_handle(), error);
        if (taken == kNoSocket) {
            if (error == 0) {
                acceptNext();
            } else {
                retry.expires_after(kAcceptRetry);
                retry.async_wait([this](beast::error_code ec) {
                    if (!ec) acceptNext();
                });
            }
            return;
        }
        tcp::socket socket(io);
        beast::error_code ec;
        socket.assign(protocol, static_cast<tcp::socket::native_handle_type>(taken), ec);
        if (ec) {
            closeSocket(taken);
            continue;
        }
        admit(std::move(socket));
    }
}

// Where the system allows, connections are taken by acceptConnection, not
// Asio's accept, so that each is close-on-exec from its first moment
// (listen_socket.h).
void MetricsEndpoint::State::acceptNext() {
    if (kAcceptWhenReadable) {
        acceptor.async_wait(tcp::acceptor::wait_read, [this](beast::error_code ec) {
            if (ec) return;  // the acceptor was closed
            takeWaiting();
        });
        return;
    }
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted) return;
        if (!ec) {
            keepFromCommands(static_cast<NativeSocket>(socket.native_handle()));
            admit(std::move(socket));
        }
        acceptNext();
    });
}

MetricsEndpoint::MetricsEndpoint() : state_(std::make_unique<State>()) {}

MetricsEndpoint::~MetricsEndpoint() { stop(); }

bool MetricsEndpoint::open(const MetricsAddress& address, std::string& why) {
    State& state = *state_;
    beast::error_code ec;
    const asio::ip::address ip = asio::ip::make_address(address.host, ec);
    if (ec) {
        why = "\"" + address.host + "\" is not a numeric address; e.g. --metrics 127.0.0.1:9464";
        return false;
    }
    const tcp::endpoint endpoint(ip, address.port);
    state.protocol = endpoint.protocol();
    state.acceptor.open(endpoint.protocol(), ec);
    if (ec) {
        why = "cannot make a socket: " + ec.message();
        return false;
    }
    std::string reason;
    if (!prepareListener(state.acceptor.native_handle(), reason)) {
        why = "cannot set up the socket: " + reason;
        state.acceptor.close(ec);
        return false;
    }
    state.acceptor.bind(endpoint, ec);
    if (!ec) state.acceptor.listen(64, ec);
    if (!ec) state.acceptor.non_blocking(true, ec);
    if (!ec) return true;
    if (ec == asio::error::address_in_use) {
        why = "the port is in use by another program; give a free one, e.g. --metrics " +
              (address.port < 65535 ? std::to_string(address.port + 1) : std::string("9464"));
    } else if (ec == boost::system::errc::address_not_available) {
        why = address.host + " is not an address of this machine; give one it has, e.g. 127.0.0.1 (this machine "
                             "only) or 0.0.0.0 (every address)";
    } else if (ec == asio::error::access_denied) {
        // Linux: a port below 1024 without the right; Windows: also a port
        // another program holds for its exclusive use (WSAEACCES).
        why = "the port needs privileges this process lacks, or another program holds it for its exclusive use; "
              "give a free port from 1024 up, e.g. --metrics 9464";
    } else {
        why = "cannot listen there: " + ec.message();
    }
    state.acceptor.close(ec);
    return false;
}

std::uint16_t MetricsEndpoint::port() const {
    beast::error_code ec;
    const tcp::endpoint local = state_->acceptor.local_endpoint(ec);
    return ec ? 0 : local.port();
}

bool MetricsEndpoint::start(Body body, std::string& why) {
    State& state = *state_;
    state.body = std::move(body);
    state.acceptNext();
    state.thread = startBackgroundThread(serve, &state);
    if (state.thread == nullptr) {
        why = "the system would not start the endpoint's thread";
        return false;
    }
    return true;
}

void MetricsEndpoint::stop() {
    State& state = *state_;
    if (state.thread == nullptr) return;
    state.io.stop();
    joinPartThread(state.thread);
    state.thread = nullptr;
    beast::error_code ignored;
    state.acceptor.close(ignored);
    for (Connection* connection : std::list<Connection*>(state.open)) connection->close();
}
