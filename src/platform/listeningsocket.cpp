#include "listeningsocket.h"

#include <sys/socket.h>

namespace garvina {

bool setListenerReceiveBuffer(qintptr descriptor, int bytes)
{
    if (descriptor < 0 || bytes <= 0)
        return false;
    return ::setsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

} // namespace garvina
