#include "processlauncher.h"

#include <QProcess>
#include <QProcessEnvironment>

namespace garvina {

qint64 SystemProcessLauncher::startDetached(const QString &program, const QStringList &arguments,
                                            const QString &workingDirectory,
                                            const QStringList &extraEnvironment, const QString &outputFile)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    if (!extraEnvironment.isEmpty()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &entry : extraEnvironment) {
            const qsizetype eq = entry.indexOf(u'=');
            if (eq > 0)
                env.insert(entry.left(eq), entry.mid(eq + 1));
        }
        process.setProcessEnvironment(env);
    }
    // QProcess::startDetached forks twice and calls setsid(): the child belongs to no terminal or
    // session of ours and is reaped by init, so it keeps running when the console ends.
    process.setStandardInputFile(QProcess::nullDevice());
    if (!outputFile.isEmpty()) {
        process.setStandardOutputFile(outputFile, QIODevice::Append);
        process.setStandardErrorFile(outputFile, QIODevice::Append);
    }
    qint64 pid = 0;
    if (!process.startDetached(&pid))
        return 0;
    return pid;
}

} // namespace garvina
