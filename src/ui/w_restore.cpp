#include "w_restore.h"

#include "core/appcontext.h"
#include "maintenance/schedule.h"
#include "ui/filedialogs.h"
#include "ui/form/dataform.h"
#include "ui/formwindow.h"
#include "ui/w_main.h"

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

const QString Font = FormWindow::fontFamily();
const QColor Border(201, 215, 227);

} // namespace

QString w_restore::fileFilter()
{
    // The Windows edition's filter "*.DB" matched any case; name every spelling so that the desktop's
    // own dialog, which may match case-sensitively, lists them all.
    return u"DB(.DB) (*.db *.DB *.Db *.dB)"_s;
}

w_restore::w_restore(AppContext &ctx, w_main &mainWindow, EngineControl &engine, FileDialogs &dialogs,
                     QWidget *parent)
    : FormWindow(ctx, mainWindow, engine, dialogs, u"还原数据库"_s, u"dw_restore_db"_s, parent)
{
    buildForm();
    finishForm();
}

w_restore::~w_restore() = default;

void w_restore::buildForm()
{
    DataForm &f = *m_form;
    f.addColumn(u"restore_path"_s);
    f.addColumn(u"name"_s);
    // Only the upper part of the 547 x 416 background shows.
    f.setFormSize(px(0, 0, 547, 238).size());

    addSkin();
    // The picture's bottom border is cut off with it: draw one along the form's lower edge.
    f.addLine(u"l_1"_s, {0, formPixelsToUnitsY(237)}, {formPixelsToUnitsX(547), formPixelsToUnitsY(237)})
        .setColor(Border);

    f.addGroupBox(u"gb_1"_s, px(12, 32, 523, 106), u"注意事项"_s).setFont(Font, 9);
    const QString notes[] = {
        u"1、还原数据库后，当前的数据都替换为还原进去的数据库数据，请还原前先做一次备份"_s,
        u"2、还原数据库前请通知所有用户先退出客户端，等还原后再重新进入客户端"_s,
        u"3、如遇到未知原因无法还原，可以手动把还原文件替换服务端DATA目录下的文件即可"_s,
    };
    for (int i = 0; i < 3; ++i)
        addLabel(u"t_note"_s + QString::number(i + 1), px(24, 52 + i * 26, 505, 22), notes[i]);

    addLabel(u"t_restore_path"_s, px(16, 152, 124, 22), u"还原数据库文件名："_s);
    f.addLineEdit(u"restore_path"_s, px(140, 152, 276, 22)).setFont(Font, 9);

    const struct
    {
        const char16_t *key;
        QRect units;
        const char16_t *caption;
    } buttons[] = {
        {u"select", px(424, 151, 104, 24), u"选择还原文件"},
        {u"ok", px(150, 194, 100, 28), u"开始还原"},
        {u"cancel", px(298, 194, 100, 28), u"退  出"},
    };
    for (const auto &b : buttons)
        addFormButton(f, QString::fromUtf16(b.key), b.units, QString::fromUtf16(b.caption));

    f.sendToBack(u"gb_1"_s);
    f.sendToBack(u"p_1"_s);
}

void w_restore::open()
{
    setFixedSize(m_form->formSize());
    showOverMain();
}

RestoreOutcome w_restore::f_restore()
{
    return m_main.maintenance().restore(m_form->getItem(u"restore_path"_s));
}

void w_restore::selectFile()
{
    const QString folder = m_ctx.readSetting(u"backup"_s, u"backuppath"_s);
    const QString chosen = m_dialogs.chooseOpenFile(this, u"选择还原的数据库文件"_s, folder, fileFilter());
    if (!chosen.isEmpty())
        m_form->setItem(u"restore_path"_s, chosen);
}

void w_restore::buttonClicked(const QString &key)
{
    if (key == u"select"_s)
        selectFile();
    else if (key == u"ok"_s)
        f_restore();
}

} // namespace garvina
