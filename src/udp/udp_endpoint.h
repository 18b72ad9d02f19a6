// The UDP endpoint behind a handle from Init_Udp.
#pragma once

#include "frame/registry.h"
#include "wirekit.h"

namespace wirekit::udp {

class UdpEndpoint : public Endpoint {
public:
    UdpEndpoint(unsigned char headerByte1, unsigned char headerByte2);
    ~UdpEndpoint() override;
    void close() override;

private:
    unsigned char headerByte1_;
    unsigned char headerByte2_;
};

}  // namespace wirekit::udp
