#include "Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace tw::test {

LoopbackSocket::LoopbackSocket(bool listen)
    : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (!fd_ || ::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        (listen && ::listen(fd_.Get(), 4) != 0) ||
        ::getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return;
    port_ = ntohs(address.sin_port);
}

int FreeLoopbackPort() {
    return LoopbackSocket().Port();
}

} // namespace tw::test
