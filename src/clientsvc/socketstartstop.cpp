#include "socketstartstop.h"

#include "clientsvc/clientserviceapi.h"
#include "config/profilefile.h"
#include "core/settings.h"
#include "platform/messageboxes.h"

using namespace Qt::Literals::StringLiterals;

namespace garvina {

int socketPortFromConfig(const ProfileFile &config)
{
    bool ok = false;
    const int port = readSetting(config, u"system"_s, u"sockect"_s).toInt(&ok, 10);
    return ok ? port : 0;
}

int wf_socket_start_stop_core(ClientServiceApi &service, MessageBoxes &boxes, const QString &as_type,
                              int port, QObject *eventReceiver, QObject *infoReceiver)
{
    if (as_type == u"START"_s) {
        service.SetEventHwnd(eventReceiver);
        service.SetInfoHwnd(infoReceiver);
        // A start always begins from a stopped service; whatever this answers, the start decides.
        service.StopServer();
        if (service.StartServer(port) == 0)
            return 1;
        boxes.tell(u"错误"_s, u"启动服务端失败,请检查"_s + QString::number(port) + u"端口是否被占用!"_s,
                   MsgIcon::StopSign);
        service.StopServer();
        return 0;
    }
    if (as_type == u"STOP"_s) {
        const short r = service.StopServer();
        if (r == 0)
            return 1;
        boxes.tell(u"错误"_s, u"停止服务错误,错误码为:"_s + QString::number(r));
        return 0;
    }
    return 0;
}

} // namespace garvina
