// The metrics endpoint's sockets, as each system needs them to stay this
// process's own: no command it starts may hold the port or a connection.
//   Linux:   system/linux/listen_socket.cpp: SO_REUSEADDR (a restart binds
//            again past TIME_WAIT; Linux still refuses a second listener),
//            close-on-exec, connections taken with accept4(SOCK_CLOEXEC) so
//            that a command forked meanwhile inherits none.
//   Windows: system/windows/listen_socket.cpp: SO_EXCLUSIVEADDRUSE and no
//            SO_REUSEADDR (which there lets a second process bind the same
//            port), handles not inheritable; commands also get an explicit
//            handle list (external_command.cpp).
#pragma once
#include <cstdint>
#include <string>

using NativeSocket = std::uintptr_t;  // a descriptor (Linux) or a SOCKET (Windows)
constexpr NativeSocket kNoSocket = ~NativeSocket{0};

// Sets a new listening socket's options before it is bound; false with the
// system's reason.
bool prepareListener(NativeSocket socket, std::string& why);

// How connections are taken. True (Linux): once the listener is readable,
// by acceptConnection, each close-on-exec from its first moment. False
// (Windows, where Asio's wait for a readable socket is a zero-byte receive,
// which a listening socket never completes): by Asio's own accept, each
// then given to keepFromCommands.
extern const bool kAcceptWhenReadable;

// One waiting connection of a non-blocking listener, non-blocking itself
// and never inherited; kNoSocket when none is waiting (`error` 0) or the
// system refused one (`error` its code).
NativeSocket acceptConnection(NativeSocket listener, int& error);

// Makes a socket the system's accept gave never inheritable.
void keepFromCommands(NativeSocket socket);

// Closes a socket that acceptConnection gave and nothing took over.
void closeSocket(NativeSocket socket);
