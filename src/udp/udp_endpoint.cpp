#include "udp/udp_endpoint.h"

namespace wirekit::udp {

UdpEndpoint::UdpEndpoint(unsigned char headerByte1, unsigned char headerByte2)
    : headerByte1_(headerByte1), headerByte2_(headerByte2) {}

UdpEndpoint::~UdpEndpoint() = default;

void UdpEndpoint::close() {}

}  // namespace wirekit::udp
