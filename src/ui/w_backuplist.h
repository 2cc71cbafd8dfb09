#pragma once

#include <QDateTime>
#include <QWidget>

#include <functional>

class QTreeWidget;

namespace garvina {

class DataForm;

/// \brief The list of backups under a root, newest first, with date, size and what was checked of
/// each, the next scheduled backup and the last restore rehearsal's outcome; opened from the settings
/// window, in its skin, beside it. "还原所选备份" hands the chosen backup's file to \a restore, the
/// console's one restore (its question, its safety copy), and shows the list again afterwards.
class w_backuplist : public QWidget
{
    Q_OBJECT
public:
    /// Restores \a file; an empty one: nothing was chosen.
    using RestoreFunction = std::function<void(const QString &file)>;

    /// \a nextBackup is the next scheduled backup (invalid: none). With \a restoreOffsite (off-site
    /// copies are configured) the list shows the last off-site copy and "从异地备份还原" calls it.
    w_backuplist(const QString &gs_path, const QString &root, const QDateTime &nextBackup,
                 RestoreFunction restore, QWidget *parent = nullptr,
                 std::function<void()> restoreOffsite = {});

    /// Reads the folders and the state file again and shows them.
    void reload();
    /// Restores the chosen backup through the restore function, which is given an empty file when none
    /// is chosen (it tells the user).
    void restoreChosen();

    /// \brief Where a window of \a size goes beside \a anchor on \a screen: right of it, else left
    /// of it, else as far right as the screen allows and lower by a title bar, so that it never
    /// covers the anchor exactly.
    static QPoint placeBeside(const QRect &anchor, const QSize &size, const QRect &screen);

    QTreeWidget *list() const { return m_list; }
    DataForm *form() const { return m_form; }

private:
    QString m_gs_path;
    QString m_root;
    RestoreFunction m_restore;
    std::function<void()> m_restoreOffsite;
    DataForm *m_form = nullptr;
    QTreeWidget *m_list = nullptr;
};

} // namespace garvina
