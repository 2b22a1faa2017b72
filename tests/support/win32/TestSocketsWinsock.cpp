#include "support/TestSockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>

namespace TestSockets {

namespace {

bool StartWinsock() {
    static const bool s_bStarted = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return s_bStarted;
}

sockaddr_in LoopbackAddress(int nPort) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(nPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

Socket FromWinsock(SOCKET nSocket) {
    return nSocket == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(nSocket);
}

SOCKET ToWinsock(Socket nSocket) {
    return static_cast<SOCKET>(nSocket);
}

} // namespace

Socket Listen(int& nPort) {
    if (!StartWinsock())
        return kNoSocket;
    Socket nListener = FromWinsock(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address = LoopbackAddress(0);
    int nLength = sizeof(address);
    if (nListener == kNoSocket ||
        ::bind(ToWinsock(nListener), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(ToWinsock(nListener), 16) != 0 ||
        ::getsockname(ToWinsock(nListener), reinterpret_cast<sockaddr*>(&address), &nLength) != 0) {
        Close(nListener);
        return kNoSocket;
    }
    nPort = ntohs(address.sin_port);
    return nListener;
}

Socket Connect(int nPort) {
    if (!StartWinsock())
        return kNoSocket;
    Socket nSocket = FromWinsock(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address = LoopbackAddress(nPort);
    if (nSocket == kNoSocket ||
        ::connect(ToWinsock(nSocket), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        Close(nSocket);
        return kNoSocket;
    }
    return nSocket;
}

bool WaitReadable(Socket nSocket, int nMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(ToWinsock(nSocket), &readable);
    timeval wait{nMs / 1000, (nMs % 1000) * 1000};
    return ::select(0, &readable, nullptr, nullptr, &wait) > 0;
}

Socket Accept(Socket nListener) {
    return FromWinsock(::accept(ToWinsock(nListener), nullptr, nullptr));
}

long Receive(Socket nSocket, char* pBuffer, size_t nSize) {
    return ::recv(ToWinsock(nSocket), pBuffer, static_cast<int>(std::min<size_t>(nSize, INT_MAX)), 0);
}

bool SendAll(Socket nSocket, const std::string& strData) {
    for (size_t nSent = 0; nSent < strData.size();) {
        int nDone = ::send(ToWinsock(nSocket), strData.data() + nSent,
                           static_cast<int>(std::min<size_t>(strData.size() - nSent, INT_MAX)), 0);
        if (nDone <= 0)
            return false;
        nSent += static_cast<size_t>(nDone);
    }
    return true;
}

void Close(Socket nSocket) {
    if (nSocket != kNoSocket)
        ::closesocket(ToWinsock(nSocket));
}

} // namespace TestSockets
