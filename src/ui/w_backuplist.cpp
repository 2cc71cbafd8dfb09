#include "w_backuplist.h"

#include "maintenance/backupcare.h"
#include "maintenance/backupstate.h"
#include "ui/form/dataform.h"
#include "ui/form/dataformunits.h"
#include "ui/formwindow.h"

#include <QHeaderView>
#include <QTreeWidget>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

const QString Font = u"WenQuanYi Micro Hei"_s;

QRect px(int x, int y, int w, int h)
{
    return {formPixelsToUnitsX(x), formPixelsToUnitsY(y), formPixelsToUnitsX(w), formPixelsToUnitsY(h)};
}

} // namespace

w_backuplist::w_backuplist(const QString &gs_path, const QString &root, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint), m_gs_path(gs_path), m_root(root)
{
    setWindowTitle(u"备份列表"_s);
    setAttribute(Qt::WA_DeleteOnClose);
    m_form = new DataForm(this);
    m_form->setObjectName(u"dw_backuplist"_s);
    DataForm &f = *m_form;
    f.addColumn(u"name"_s);
    f.setFormSize(px(0, 0, 547, 416).size());
    f.addPicture(u"p_1"_s, px(0, 0, 0, 0), gs_path + u"skin/setting_bg.jpg"_s);
    FormText &title = f.addText(u"t_title"_s, px(10, 2, 300, 21), u"备份列表"_s);
    title.setFont(Font, 10, 700);
    title.setTextColor(Qt::white);
    FormText &path = f.addText(u"t_root"_s, px(14, 32, 520, 22), u"备份目录:"_s + root);
    path.setFont(Font, 9);
    path.setTextColor(QColor(51, 51, 51));
    FormText &rehearsal = f.addText(u"t_rehearsal"_s, px(14, 384, 520, 22));
    rehearsal.setFont(Font, 9);
    rehearsal.setTextColor(QColor(51, 51, 51));
    addCloseControl(f, px(525, 4, 17, 17), gs_path + u"skin/close.jpg"_s);
    f.sendToBack(u"p_1"_s);
    f.bringToFront(u"t_close"_s);
    f.bringToFront(u"p_close"_s);
    f.setHoverColumn(u"name"_s);
    connect(m_form, &DataForm::clicked, this, [this](const QString &name) {
        if (name == u"t_close"_s || name == u"p_close"_s)
            close();
    });
    moveWindowOnDrag(this, m_form);
    m_form->setGeometry(QRect(QPoint(0, 0), m_form->formSize()));
    setFixedSize(m_form->formSize());

    m_list = new QTreeWidget(this);
    m_list->setObjectName(u"backups"_s);
    m_list->setRootIsDecorated(false);
    m_list->setFont(QFont(Font, 9));
    m_list->setHeaderLabels({u"备份时间"_s, u"大小"_s, u"状态"_s, u"目录"_s});
    m_list->setGeometry(12, 58, 523, 320);
    m_list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    reload();
}

void w_backuplist::reload()
{
    const BackupState state = loadBackupState(m_gs_path);
    m_list->clear();
    for (const BackupListRow &row : backupListRows(m_root, state))
        m_list->addTopLevelItem(new QTreeWidgetItem({row.date, row.size, row.state, row.folder}));
    m_form->text(u"t_rehearsal"_s)->setText(lastRehearsalLine(state));
}

} // namespace garvina
