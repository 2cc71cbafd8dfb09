#pragma once

#include "maintenance/backup.h"
#include "maintenance/filecopy.h"

#include <QString>

namespace garvina {

struct AppContext;
class EngineControl;

/// How a restore ended (the user has been told already).
enum class RestoreOutcome
{
    NoFileChosen,
    FileMissing,
    NotADatabase,
    Declined,         ///< No at the confirmation or at the missing-safety-copy question
    ReadError,        ///< "无法读取还原数据库文件"
    WriteError,       ///< "写入目标文件出错!"
    EngineDidNotStop, ///< "操作错误!": the live file is in use and was left alone
    Busy,             ///< another backup or restore of this console is under way
    Restored,
};

/// \brief Puts the database file \a restore_path in place of the live database.
///
/// The chosen file is first copied beside the live one, flushed and proved to open; only then is the
/// engine stopped, a safety copy of the live file made under the backup folder (root +
/// "yyyymmdd-hhmm-R/"), and the copy renamed over the live file; the engine is started again. No
/// failure loses the live database: it is replaced only by a complete, verified file, and the
/// engine runs again afterwards (unless the user stopped it).
RestoreOutcome f_restore(AppContext &ctx, EngineControl &engine, const QString &restore_path,
                         const FreeSpaceSource &freeBytes = {}, const FileCopier &copier = {});

} // namespace garvina
