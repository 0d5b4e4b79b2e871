#include "headless/system/listen_socket.h"

#include <winsock2.h>
#include <windows.h>

#include "headless/system/windows/system_text.h"

bool prepareListener(NativeSocket socket, std::string& why) {
    const SOCKET s = static_cast<SOCKET>(socket);
    // Without it a second process may bind the port too (SO_REUSEADDR there
    // takes over a port in use), and a scrape would reach either.
    const BOOL on = TRUE;
    if (setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on) != 0) {
        why = systemText(static_cast<DWORD>(WSAGetLastError()));
        return false;
    }
    if (!SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0)) {
        why = systemText(GetLastError());
        return false;
    }
    return true;
}

const bool kAcceptWhenReadable = false;

void keepFromCommands(NativeSocket socket) {
    SetHandleInformation(reinterpret_cast<HANDLE>(static_cast<SOCKET>(socket)), HANDLE_FLAG_INHERIT, 0);
}

NativeSocket acceptConnection(NativeSocket listener, int& error) {
    const SOCKET s = accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET) {
        const int code = WSAGetLastError();
        error = code == WSAEWOULDBLOCK || code == WSAECONNRESET || code == WSAEINTR ? 0 : code;
        return kNoSocket;
    }
    // A command started meanwhile gets only the handles it is listed.
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    error = 0;
    return static_cast<NativeSocket>(s);
}

void closeSocket(NativeSocket socket) { closesocket(static_cast<SOCKET>(socket)); }
