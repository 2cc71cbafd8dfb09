#pragma once

#include <QString>
#include <QtGlobal>

namespace garvina {

/// \brief Sets the system's receive buffer of a listening TCP socket, which the connections it
/// accepts inherit from the start (set on an accepted connection afterwards, a smaller buffer
/// leaves the peer with a window the system no longer honours, and the peer stalls). True on success.
bool setListenerReceiveBuffer(qintptr descriptor, int bytes);

/// The inode of the Unix socket file at \a path (the link itself, never followed); 0 when there is
/// no such file or it is no socket.
quint64 socketFileInode(const QString &path);

} // namespace garvina
