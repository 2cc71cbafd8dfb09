#include "shopfiles.h"

#include <QDir>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

QString backupErrorLogName()
{
    return u"备份数据库出错记录.txt"_s;
}

QString maintenanceLogName()
{
    return u"备份维护记录.txt"_s;
}

QString backupStateFileName()
{
    return u"备份状态.json"_s;
}

QString controlSocketName()
{
    return u"garvinaserver.sock"_s;
}

QString defaultBackupPath()
{
    return QDir::homePath() + u"/织云阁软件备份/"_s;
}

QStringList consoleWrittenFileNames()
{
    return {backupErrorLogName(), maintenanceLogName(), backupStateFileName(), controlSocketName()};
}

} // namespace garvina
