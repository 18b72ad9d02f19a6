#include "tcp/tcp_endpoint.h"

namespace wirekit::tcp {

TcpEndpoint::TcpEndpoint() = default;
TcpEndpoint::~TcpEndpoint() = default;
void TcpEndpoint::close() {}

}  // namespace wirekit::tcp
