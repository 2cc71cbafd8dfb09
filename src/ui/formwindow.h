#pragma once

#include <QRect>
#include <QString>
#include <QWidget>

namespace garvina {

struct AppContext;
class DataForm;
class EngineControl;
class FormText;
class FileDialogs;
class w_main;

/// \brief The close control of a skinned window: a hotspot `t_close` and the highlighted cross
/// `p_close` over the cross of the skin, the picture shown only while the pointer is on either.
void addCloseControl(DataForm &form, const QRect &units, const QString &picture);

/// \brief A button of the settings and restore windows: a rounded rectangle "rr_" + \a key in the
/// buttons' blue with the white caption "t_" + \a key on it, bold while the pointer is on either.
void addFormButton(DataForm &form, const QString &key, const QRect &units, const QString &caption);

/// Lets the user move the borderless \a window by dragging anywhere on its \a form.
void moveWindowOnDrag(QWidget *window, DataForm *form);

/// \brief A skinned window opened from the main window: the common part of the settings and restore
/// windows.
///
/// Frameless and non-modal, drawn by one form laid out on the 547 x 416 skin. While it is open the
/// main window is hidden; closing it, whichever way, shows the main window again. The close cross and
/// the button "cancel" close it; every other button ("rr_" or "t_" + key) goes to buttonClicked().
class FormWindow : public QWidget
{
    Q_OBJECT
public:
    ~FormWindow() override;

    /// The type face the skins are laid out for.
    static QString fontFamily();

protected:
    /// Makes the empty form named \a formName; the window's own constructor lays it out and then calls
    /// finishForm(). \a engine and \a dialogs must outlive the window.
    FormWindow(AppContext &ctx, w_main &mainWindow, EngineControl &engine, FileDialogs &dialogs,
               const QString &title, const QString &formName, QWidget *parent);

    /// A rectangle given in pixels of the skin, as form units.
    static QRect px(int x, int y, int w, int h);

    /// The skin picture skin/setting_bg.jpg as `p_1` and the window's title on its title strip as
    /// `t_title`.
    void addSkin();
    /// A label in the windows' type and colour.
    FormText &addLabel(const QString &name, const QRect &units, const QString &text);

    /// Puts the close control over the cross of the skin's title strip, on top of everything, and
    /// makes the form answer the pointer: hover, clicks, dragging the window. Sizes the window.
    void finishForm();
    /// Centres the window on the screen, shows it and hides the main window.
    void showOverMain();
    /// A click on the button \a key (its body "rr_" + key or its caption "t_" + key).
    virtual void buttonClicked(const QString &key) = 0;

    void closeEvent(QCloseEvent *event) override;

    AppContext &m_ctx;
    w_main &m_main;
    EngineControl &m_engine;
    FileDialogs &m_dialogs;
    DataForm *m_form = nullptr;

private:
    void onFormClicked(const QString &name);
};

} // namespace garvina
