// The TCP endpoint behind a handle from Init_Tcp.
#pragma once

#include "frame/registry.h"
#include "wirekit.h"

namespace wirekit::tcp {

class TcpEndpoint : public Endpoint {
public:
    TcpEndpoint();
    ~TcpEndpoint() override;
    void close() override;
};

}  // namespace wirekit::tcp
