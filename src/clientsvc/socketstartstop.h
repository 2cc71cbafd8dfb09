#pragma once

#include <QString>

class QObject;

namespace garvina {

class ClientServiceApi;
class MessageBoxes;
class ProfileFile;

/// \brief The client service's port from the configuration: `system`/`sockect`, "2639" when absent.
///
/// A value that is not a whole decimal number (empty, "26x9", "2639.0") gives 0, which the service
/// refuses; values outside 1–65535 are returned as they are and refused there too, never wrapped
/// into another port.
int socketPortFromConfig(const ProfileFile &config);

/// \brief The decision logic of the main window's `wf_socket_start_stop`, without the window.
///
/// "START": names \a eventReceiver and \a infoReceiver to the service, stops it, starts it on
/// \a port; on failure shows "错误" / "启动服务端失败,请检查" + port + "端口是否被占用!" with the
/// stop sign, stops the service once more and gives 0. "STOP": stops the service; when that fails
/// shows "错误" / "停止服务错误,错误码为:" + code and gives 0. Otherwise 1: the service is in the
/// requested state. Any other \a as_type does nothing and gives 0.
int wf_socket_start_stop_core(ClientServiceApi &service, MessageBoxes &boxes, const QString &as_type,
                              int port, QObject *eventReceiver, QObject *infoReceiver);

} // namespace garvina
