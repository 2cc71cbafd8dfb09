#pragma once

#include <QDir>
#include <QProcess>
#include <QString>

namespace garvina::test {

/// A small tmpfs mounted on a folder for the life of the object (needs the right to mount).
class TmpfsMount
{
public:
    TmpfsMount(const QString &dir, qint64 bytes) : m_dir(dir)
    {
        QDir().mkpath(dir);
        m_mounted =
            run(QStringLiteral("mount"),
                {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                 QStringLiteral("size=%1k").arg((bytes + 1023) / 1024), QStringLiteral("tmpfs"), dir});
    }
    ~TmpfsMount() { unmount(); }
    TmpfsMount(const TmpfsMount &) = delete;
    TmpfsMount &operator=(const TmpfsMount &) = delete;

    bool mounted() const { return m_mounted; }
    bool unmount()
    {
        if (m_mounted && run(QStringLiteral("umount"), {m_dir}))
            m_mounted = false;
        return !m_mounted;
    }

private:
    static bool run(const QString &program, const QStringList &args)
    {
        QProcess p;
        p.start(program, args);
        return p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }

    QString m_dir;
    bool m_mounted = false;
};

} // namespace garvina::test
