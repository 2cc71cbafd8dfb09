#pragma once

#include <QObject>

class QSocketNotifier;

namespace garvina {

/// \brief Turns SIGTERM, SIGINT and SIGHUP into a Qt signal delivered on the event loop.
///
/// The handler marks the end as requested (see endRequested(): every wait gives up) and writes a
/// byte into a pipe; the orderly end then runs on the user-interface thread like any other event.
/// With \a hangUpReloads (a daemon's convention, `systemctl reload`) SIGHUP ends nothing and asks
/// for the configuration to be read again instead.
class UnixSignals : public QObject
{
    Q_OBJECT
public:
    explicit UnixSignals(bool hangUpReloads = false, QObject *parent = nullptr);
    ~UnixSignals() override;

Q_SIGNALS:
    void terminationRequested(int signalNumber);
    void reloadRequested();

private:
    void readSignal();
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace garvina
