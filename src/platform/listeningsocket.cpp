#include "listeningsocket.h"

#include <QFile>

#include <sys/stat.h>

#include <sys/socket.h>

namespace garvina {

bool setListenerReceiveBuffer(qintptr descriptor, int bytes)
{
    if (descriptor < 0 || bytes <= 0)
        return false;
    return ::setsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

quint64 socketFileInode(const QString &path)
{
    struct stat st = {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISSOCK(st.st_mode))
        return 0;
    return static_cast<quint64>(st.st_ino);
}

} // namespace garvina
