#pragma once

#include <QWidget>

class QTreeWidget;

namespace garvina {

class DataForm;

/// \brief The list of backups under a root, newest first, with date, size and state, and the last
/// restore rehearsal's outcome; opened from the settings window, in its skin. It only shows:
/// restoring goes through the restore window.
class w_backuplist : public QWidget
{
    Q_OBJECT
public:
    w_backuplist(const QString &gs_path, const QString &root, QWidget *parent = nullptr);

    /// Reads the folders and the state file again and shows them.
    void reload();

    QTreeWidget *list() const { return m_list; }
    DataForm *form() const { return m_form; }

private:
    QString m_gs_path;
    QString m_root;
    DataForm *m_form = nullptr;
    QTreeWidget *m_list = nullptr;
};

} // namespace garvina
