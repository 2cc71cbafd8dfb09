#pragma once

#include "platform/processlauncher.h"

#include <QList>

namespace garvina::test {

/// Records the programs it is asked to start; starts none unless \a forward is set.
class RecordingLauncher final : public ProcessLauncher
{
public:
    struct Call
    {
        QString program;
        QStringList arguments;
        QString workingDirectory;
        QStringList environment;
        QString outputFile;
    };

    qint64 startDetached(const QString &program, const QStringList &arguments,
                         const QString &workingDirectory, const QStringList &extraEnvironment,
                         const QString &outputFile) override
    {
        calls.append({program, arguments, workingDirectory, extraEnvironment, outputFile});
        return forward ? forward->startDetached(program, arguments, workingDirectory, extraEnvironment,
                                                outputFile)
                       : 4242;
    }

    QList<Call> calls;
    ProcessLauncher *forward = nullptr;
};

} // namespace garvina::test
