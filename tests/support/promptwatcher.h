#pragma once

#include "ui/w_pass.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTest>
#include <QTimer>

#include <functional>

namespace garvina::test {

/// \brief Acts on every w_pass prompt that becomes visible while it lives.
///
/// The prompt runs its own modal event loop; the watcher looks for it every few milliseconds from
/// inside that loop and hands it to the test's action. Whatever the action leaves open is cancelled,
/// so a prompt that nobody expected can never hang a test.
class PromptWatcher : public QObject
{
public:
    explicit PromptWatcher(std::function<void(w_pass &)> act) : m_act(std::move(act))
    {
        m_timer.setInterval(5);
        connect(&m_timer, &QTimer::timeout, this, &PromptWatcher::poll);
        m_timer.start();
    }

    /// How many prompts were seen on screen.
    int shown = 0;

private:
    void poll()
    {
        const QList<QWidget *> windows = QApplication::topLevelWidgets();
        for (QWidget *w : windows) {
            auto *dialog = qobject_cast<w_pass *>(w);
            if (!dialog || !dialog->isVisible())
                continue;
            ++shown;
            m_act(*dialog);
            if (dialog->isVisible())
                dialog->reject();
        }
    }

    std::function<void(w_pass &)> m_act;
    QTimer m_timer;
};

/// What a test does with a prompt.
enum class PromptAction
{
    TypeRight,
    TypeWrong,
    Cancel
};

/// Types \a text into the prompt's field and presses Enter.
inline void typeAndEnter(w_pass &dialog, const QString &text)
{
    QTest::keyClicks(dialog.sle_1, text);
    QTest::keyClick(dialog.sle_1, Qt::Key_Return);
}

/// A password made up for one test run, so that none is written in the sources. Mixed case, so
/// that the same letters in another case make a different password.
inline QString madeUpPassword()
{
    return QStringLiteral("Pw") + QString::number(QRandomGenerator::global()->generate() | 1u, 36) +
           QStringLiteral("q");
}

} // namespace garvina::test
