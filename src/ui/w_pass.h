#pragma once

#include "ui/passwordprompt.h"

#include <QDialog>
#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;

namespace garvina {

struct AppContext;

/// \brief The modal password prompt.
///
/// Compares what the user types (blanks around it removed) with `system`/`password` of the
/// configuration, read afresh for every prompt, and answers "true" when they are equal. A stored
/// password that is empty or only blanks grants access without the prompt ever showing. A wrong
/// password is told in a message box and may be tried again; cancel, Escape and the close box end
/// the prompt without an answer. Nothing typed is kept or logged.
class w_pass : public QDialog
{
    Q_OBJECT
public:
    /// Reads the stored password; the dialog is not shown yet.
    explicit w_pass(AppContext &ctx, QWidget *parent = nullptr);
    ~w_pass() override;

    /// \brief Opens a prompt, waits until it closes and returns its answer: "true" when access is
    /// granted, empty otherwise.
    static QString prompt(AppContext &ctx, QWidget *parent = nullptr);
    /// True when prompt() answers "true".
    static bool ask(AppContext &ctx, QWidget *parent = nullptr);

    /// Without a stored password this grants access at once and never shows the dialog.
    int exec() override;

    /// "true" once access is granted; empty before and after any other ending.
    const QString &answer() const { return m_answer; }

    QLabel *st_1 = nullptr;
    QLineEdit *sle_1 = nullptr;
    QPushButton *cb_1 = nullptr;
    QPushButton *cb_2 = nullptr;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void cb_1_clicked();
    void cb_2_clicked();

    AppContext &m_ctx;
    QString is_password;
    QString m_answer;
    bool m_centred = false;
};

/// The production PasswordPrompt: opens w_pass.
class DialogPasswordPrompt final : public PasswordPrompt
{
public:
    explicit DialogPasswordPrompt(AppContext &ctx, QWidget *parent = nullptr) : m_ctx(ctx), m_parent(parent)
    {}
    bool askPassword() override { return w_pass::ask(m_ctx, m_parent); }

private:
    AppContext &m_ctx;
    QWidget *m_parent;
};

} // namespace garvina
