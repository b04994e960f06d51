#pragma once

#include <cstdint>

// Small packets over a SOCK_SEQPACKET socket between this program and its model checker: a tag
// byte, a 32-bit value and at most one descriptor. Nothing here raises SIGPIPE.
namespace SocketMessages
{
    bool send (int socket, char tag, int32_t value, int descriptor = -1);

    // Waits for one packet; false at end of stream or on an error. `value` and `descriptor` may
    // be null; a descriptor that came but is not wanted is closed, one that did not come is -1.
    bool receive (int socket, char& tag, int32_t* value, int* descriptor);
}
