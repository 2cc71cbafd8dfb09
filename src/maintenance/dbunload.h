#pragma once

#include "maintenance/filecopy.h"

#include <QDate>
#include <QString>

namespace garvina {

struct AppContext;
class Notice;

/// \brief Whether the periodic rebuild is due today.
///
/// \a day: "1" monthly, "2" weekly (Monday to Sunday), "3" daily, anything else never. \a lastDate is
/// the date of the last rebuild, "yyyy-mm-dd"; dates are compared as text.
bool rebuildDue(const QString &day, const QString &lastDate, const QDate &today);

/// The programs the rebuild runs; tests may point them elsewhere.
struct RebuildTools
{
    QString gbak = QStringLiteral("gbak");
    /// Copies the live file into the safety folder; empty: the context's FileSystem::copyFile.
    FileCopier copier = nullptr;
};

/// \brief Runs the rebuild when it is due (configured period, date of the last one) and records
/// today's date after a rebuild that succeeded.
void f_dbunload(AppContext &ctx, Notice &w_dbunload_msg, const RebuildTools &tools = RebuildTools());

/// \brief Shows the rebuild notice, makes the safety copy in the "-U" folder, rebuilds the database
/// and closes the notice on every way out.
///
/// The rebuild unloads the closed database and reloads it into a new file beside the live one; only
/// a complete new file that opens as a database replaces the live one (by rename). On false the live
/// file is exactly as it was. Never runs while an engine serves the database.
bool f_executewait(AppContext &ctx, Notice &w_dbunload_msg, const RebuildTools &tools = RebuildTools());

} // namespace garvina
