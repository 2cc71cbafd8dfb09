#include "w_backuplist.h"

#include "maintenance/backupcare.h"
#include "maintenance/backupstate.h"
#include "maintenance/offsite.h"
#include "maintenance/schedule.h"
#include "ui/form/dataform.h"
#include "ui/form/dataformunits.h"
#include "ui/formwindow.h"

#include <QDir>
#include <QHeaderView>
#include <QTreeWidget>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

const QString Font = u"WenQuanYi Micro Hei"_s;

QRect px(int x, int y, int w, int h)
{
    return {formPixelsToUnitsX(x), formPixelsToUnitsY(y), formPixelsToUnitsX(w), formPixelsToUnitsY(h)};
}

} // namespace

QPoint w_backuplist::placeBeside(const QRect &anchor, const QSize &size, const QRect &screen)
{
    const int gap = 8;
    const int titleBar = 32;
    if (anchor.right() + gap + size.width() <= screen.right())
        return {anchor.right() + 1 + gap, anchor.top()};
    if (anchor.left() - gap - size.width() >= screen.left())
        return {anchor.left() - gap - size.width(), anchor.top()};
    const int x = std::max(screen.left(), screen.right() + 1 - size.width());
    const int y = std::clamp(anchor.top() + titleBar, screen.top(),
                             std::max(screen.top(), screen.bottom() + 1 - size.height()));
    return {x, y};
}

w_backuplist::w_backuplist(const QString &gs_path, const QString &root, const QDateTime &nextBackup,
                           RestoreFunction restore, QWidget *parent, std::function<void()> restoreOffsite)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint), m_gs_path(gs_path), m_root(root),
      m_restore(std::move(restore)), m_restoreOffsite(std::move(restoreOffsite))
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
    const auto addLine = [&f](const QString &name, const QRect &units, const QString &text) {
        FormText &line = f.addText(name, units, text);
        line.setFont(Font, 9);
        line.setTextColor(QColor(51, 51, 51));
    };
    addLine(u"t_root"_s, px(14, 30, 520, 20), u"备份目录:"_s + root);
    addLine(u"t_next"_s, px(14, 50, 520, 20),
            nextBackup.isValid() ? nextBackupLine(nextBackup.time(), nextBackup.date())
                                 : nextBackupLine(QTime(0, 0, 0), QDate()));
    addLine(u"t_rehearsal"_s, px(14, 352, 520, 22), QString());
    addFormButton(f, u"restore"_s, px(412, 380, 110, 28), u"还原所选备份"_s);
    if (m_restoreOffsite) {
        addLine(u"t_offsite_line"_s, px(14, 332, 520, 20), QString());
        addFormButton(f, u"offsite"_s, px(292, 380, 110, 28), u"从异地备份还原"_s);
    }
    addCloseControl(f, px(525, 4, 17, 17), gs_path + u"skin/close.jpg"_s);
    f.sendToBack(u"p_1"_s);
    f.bringToFront(u"t_close"_s);
    f.bringToFront(u"p_close"_s);
    f.setHoverColumn(u"name"_s);
    connect(m_form, &DataForm::clicked, this, [this](const QString &name) {
        if (name == u"t_close"_s || name == u"p_close"_s)
            close();
        else if (name == u"t_restore"_s || name == u"rr_restore"_s)
            restoreChosen();
        else if ((name == u"t_offsite"_s || name == u"rr_offsite"_s) && m_restoreOffsite) {
            m_restoreOffsite();
            reload();
        }
    });
    moveWindowOnDrag(this, m_form);
    m_form->setGeometry(QRect(QPoint(0, 0), m_form->formSize()));
    setFixedSize(m_form->formSize());

    m_list = new QTreeWidget(this);
    m_list->setObjectName(u"backups"_s);
    m_list->setRootIsDecorated(false);
    m_list->setFont(QFont(Font, 9));
    m_list->setHeaderLabels({u"备份时间"_s, u"大小"_s, u"状态"_s, u"目录"_s});
    m_list->setGeometry(12, 72, 523, m_restoreOffsite ? 256 : 276);
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
    if (m_restoreOffsite)
        m_form->text(u"t_offsite_line"_s)->setText(lastOffsiteLine(state));
}

void w_backuplist::restoreChosen()
{
    const QTreeWidgetItem *chosen = m_list->currentItem();
    if (!m_restore)
        return;
    // Nothing chosen: the restore is given no file, and says so.
    m_restore(chosen && chosen->isSelected()
                  ? QDir::cleanPath(m_root) + u'/' + chosen->text(3) + u"/garvina.db"_s
                  : QString());
    // The restore leaves a safety copy of the database it replaced.
    reload();
}

} // namespace garvina
