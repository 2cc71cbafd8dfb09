#include "m_popmenu.h"

#include "core/appcontext.h"
#include "ui/menu/n_coolmenu.h"
#include "ui/passwordprompt.h"
#include "ui/w_pass.h"

#include <QAction>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

m_popmenu::m_popmenu(AppContext &ctx, QWidget *parent)
    : QMenu(parent), m_ctx(ctx), m_ownPrompt(std::make_unique<DialogPasswordPrompt>(ctx, parent)),
      m_prompt(*m_ownPrompt)
{
    build();
}

m_popmenu::m_popmenu(AppContext &ctx, PasswordPrompt &prompt, QWidget *parent)
    : QMenu(parent), m_ctx(ctx), m_prompt(prompt)
{
    build();
}

m_popmenu::~m_popmenu() = default;

QAction *m_popmenu::addCommand(QMenu &menu, const QString &name, const QString &text, int picture)
{
    QAction *action = menu.addAction(text);
    action->setObjectName(name);
    action->setProperty(kMenuTagProperty, u"id=%1"_s.arg(picture));
    action->setProperty(kMenuPictureNameProperty, u"server.dll:%1"_s.arg(picture));
    return action;
}

void m_popmenu::build()
{
    setObjectName(u"m_popmenu"_s);

    auto command = [this](const QString &name, const QString &text, int picture) {
        return addCommand(*this, name, text, picture);
    };
    auto separator = [this](const QString &name) {
        QAction *action = addSeparator();
        action->setObjectName(name);
        return action;
    };

    m_show = command(u"m_显示主界面"_s, u"显示主界面"_s, ShowPicture);
    m_sep = separator(u"m_-"_s);
    m_setting = command(u"m_功能设置"_s, u"功能设置"_s, SettingPicture);
    m_sep1 = separator(u"m_-1"_s);
    m_start = command(u"m_start"_s, u"开启服务"_s, StartPicture);
    m_stop = command(u"m_stop"_s, u"停止服务"_s, StopPicture);
    m_sep0 = separator(u"m_-0"_s);
    m_exit = command(u"m_退出服务器"_s, u"退出服务器"_s, ExitPicture);

    connect(m_show, &QAction::triggered, this, &m_popmenu::showMainCommand);
    connect(m_setting, &QAction::triggered, this, &m_popmenu::settingsCommand);
    // Both items run the one toggle; the visibility rule shows the one that fits the state.
    connect(m_start, &QAction::triggered, this, &m_popmenu::startStopCommand);
    connect(m_stop, &QAction::triggered, this, &m_popmenu::startStopCommand);
    connect(m_exit, &QAction::triggered, this, &m_popmenu::exitCommand);
}

void m_popmenu::setServiceRunning(bool running)
{
    m_start->setVisible(!running);
    m_stop->setVisible(running);
}

void m_popmenu::showMainCommand()
{
    Q_EMIT showMainRequested();
}

void m_popmenu::settingsCommand()
{
    if (passwordGuard(m_ctx.config(), u"settingpass"_s, m_prompt))
        Q_EMIT settingsRequested();
}

void m_popmenu::startStopCommand()
{
    Q_EMIT startStopRequested();
}

void m_popmenu::exitCommand()
{
    if (passwordGuard(m_ctx.config(), u"exitpass"_s, m_prompt))
        Q_EMIT exitRequested();
}

} // namespace garvina
