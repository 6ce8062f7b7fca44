#pragma once

// Loopback TCP sockets for tests that need a port where no server answers.

#include "tablewright/model/UniqueFd.h"

namespace tw::test {

/// A TCP socket bound to a free port of 127.0.0.1, closed when it goes. While it is held no
/// other program gets the port: bound only, it refuses every connection; listening, the system
/// completes connections that nobody ever greets.
class LoopbackSocket {
public:
    /// A socket bound to a free port; `listen` makes it accept connections into its backlog.
    /// Port() is 0 when the system refused.
    explicit LoopbackSocket(bool listen = false);

    /// The port, 0 when there is none.
    int Port() const { return port_; }

private:
    data::UniqueFd fd_;
    int port_ = 0;
};

/// A port of 127.0.0.1 that was free a moment ago (for a server a test starts).
int FreeLoopbackPort();

} // namespace tw::test
