#include "SocketMessages.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
    struct Packet
    {
        char tag;
        int32_t value;
    };
} // namespace

bool SocketMessages::send (int socket, char tag, int32_t value, int descriptor)
{
    Packet packet { tag, value };
    iovec part { &packet, sizeof (packet) };

    alignas (cmsghdr) char control[CMSG_SPACE (sizeof (int))] {};
    msghdr message {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;

    if (descriptor >= 0)
    {
        message.msg_control = control;
        message.msg_controllen = sizeof (control);
        auto* header = CMSG_FIRSTHDR (&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN (sizeof (int));
        std::memcpy (CMSG_DATA (header), &descriptor, sizeof (int));
    }

    for (;;)
    {
        const auto sent = ::sendmsg (socket, &message, MSG_NOSIGNAL);
        if (sent == static_cast<ssize_t> (sizeof (packet)))
            return true;
        if (sent < 0 && errno == EINTR)
            continue;
        return false;
    }
}

bool SocketMessages::receive (int socket, char& tag, int32_t* value, int* descriptor)
{
    if (descriptor != nullptr)
        *descriptor = -1;

    Packet packet {};
    iovec part { &packet, sizeof (packet) };
    alignas (cmsghdr) char control[CMSG_SPACE (sizeof (int))] {};
    msghdr message {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof (control);

    ssize_t got = -1;
    do
        got = ::recvmsg (socket, &message, MSG_CMSG_CLOEXEC);
    while (got < 0 && errno == EINTR);

    int received = -1;
    for (auto* header = CMSG_FIRSTHDR (&message); header != nullptr; header = CMSG_NXTHDR (&message, header))
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS && header->cmsg_len >= CMSG_LEN (sizeof (int)))
            std::memcpy (&received, CMSG_DATA (header), sizeof (int));

    if (got != static_cast<ssize_t> (sizeof (packet)))
    {
        if (received >= 0)
            ::close (received);
        return false;
    }

    tag = packet.tag;
    if (value != nullptr)
        *value = packet.value;
    if (descriptor != nullptr)
        *descriptor = received;
    else if (received >= 0)
        ::close (received);
    return true;
}
