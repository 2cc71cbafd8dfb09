#pragma once

#include <QString>
#include <QStringList>

namespace garvina {

class ProcessTable;

/// \brief Removes the rehearsal's scratch files that a console ended in the middle of a rehearsal
/// left: in the rehearsal's scratch folders, in the dated folders under \a backupRoot (where older
/// versions kept them beside garvina.db), and its lock folder. Only while no rehearsal runs.
QStringList removeRehearsalLeftovers(const QString &gs_path, const QString &backupRoot);

/// \brief Removes the partial copies ("garvina.db.part") in the dated folders under \a backupRoot
/// that no process has open: their writer (the engine, or a tool of a console that ended) is gone,
/// so the copy can never be finished. Kept when the processes cannot be read.
QStringList removeAbandonedCopies(const QString &backupRoot, const ProcessTable &processes);

/// \brief What a killed console leaves, removed at start-up: rehearsal leftovers, abandoned partial
/// copies and then empty dated folders. Never a garvina.db, nor a folder with anything else in it.
QStringList removeLeftovers(const QString &gs_path, const QString &backupRoot, const ProcessTable &processes);

} // namespace garvina
