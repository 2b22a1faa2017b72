#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The few TCP calls the scripted servers of the client tests make, on 127.0.0.1, for POSIX sockets
// and Winsock alike. A socket is a plain number; kNoSocket stands for none.
namespace TestSockets {

using Socket = std::intptr_t;
constexpr Socket kNoSocket = -1;

// A listening socket on a free port of 127.0.0.1, and that port; kNoSocket on failure.
Socket Listen(int& nPort);
// A connection to 127.0.0.1:nPort; kNoSocket when none is made.
Socket Connect(int nPort);
// True when the socket has something to read (a connection to accept, data, or its end) within nMs.
bool WaitReadable(Socket nSocket, int nMs);
Socket Accept(Socket nListener);
// Bytes read into pBuffer; 0 at the end of the connection, negative on failure.
long Receive(Socket nSocket, char* pBuffer, size_t nSize);
bool SendAll(Socket nSocket, const std::string& strData);
void Close(Socket nSocket);

} // namespace TestSockets
