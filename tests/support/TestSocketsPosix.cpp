#include "support/TestSockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace TestSockets {

namespace {

sockaddr_in LoopbackAddress(int nPort) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(nPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

} // namespace

Socket Listen(int& nPort) {
    int nListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = LoopbackAddress(0);
    socklen_t nLength = sizeof(address);
    if (nListener < 0 || ::bind(nListener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(nListener, 16) != 0 ||
        ::getsockname(nListener, reinterpret_cast<sockaddr*>(&address), &nLength) != 0) {
        Close(nListener);
        return kNoSocket;
    }
    nPort = ntohs(address.sin_port);
    return nListener;
}

Socket Connect(int nPort) {
    int nSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = LoopbackAddress(nPort);
    if (nSocket < 0 || ::connect(nSocket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        Close(nSocket);
        return kNoSocket;
    }
    return nSocket;
}

bool WaitReadable(Socket nSocket, int nMs) {
    pollfd entry{static_cast<int>(nSocket), POLLIN, 0};
    return ::poll(&entry, 1, nMs) > 0;
}

Socket Accept(Socket nListener) {
    int nConnection = ::accept4(static_cast<int>(nListener), nullptr, nullptr, SOCK_CLOEXEC);
    return nConnection < 0 ? kNoSocket : nConnection;
}

long Receive(Socket nSocket, char* pBuffer, size_t nSize) {
    return static_cast<long>(::recv(static_cast<int>(nSocket), pBuffer, nSize, 0));
}

bool SendAll(Socket nSocket, const std::string& strData) {
    for (size_t nSent = 0; nSent < strData.size();) {
        ssize_t nDone =
            ::send(static_cast<int>(nSocket), strData.data() + nSent, strData.size() - nSent, MSG_NOSIGNAL);
        if (nDone <= 0)
            return false;
        nSent += static_cast<size_t>(nDone);
    }
    return true;
}

void Close(Socket nSocket) {
    if (nSocket >= 0)
        ::close(static_cast<int>(nSocket));
}

} // namespace TestSockets
