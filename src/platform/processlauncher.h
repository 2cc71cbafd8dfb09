#pragma once

#include <QString>
#include <QStringList>

namespace garvina {

/// \brief Starts programs that are not waited for (the engine, the archiver, the upgrade program).
///
/// A detached child runs in a session of its own and outlives the console. Arguments are passed as
/// a list, never through a shell, so paths with blanks work.
class ProcessLauncher
{
public:
    virtual ~ProcessLauncher() = default;

    /// Extra environment entries "NAME=value" are added to (or replace those of) the console's own.
    /// Its standard output and error are appended to \a outputFile when one is named, else they are
    /// the console's own. Returns the child's process id, or 0 when it could not be started.
    virtual qint64 startDetached(const QString &program, const QStringList &arguments,
                                 const QString &workingDirectory = QString(),
                                 const QStringList &extraEnvironment = QStringList(),
                                 const QString &outputFile = QString()) = 0;
};

class SystemProcessLauncher final : public ProcessLauncher
{
public:
    qint64 startDetached(const QString &program, const QStringList &arguments,
                         const QString &workingDirectory = QString(),
                         const QStringList &extraEnvironment = QStringList(),
                         const QString &outputFile = QString()) override;
};

} // namespace garvina
