#pragma once

#include <QRect>
#include <QString>

class QWidget;

namespace garvina {

class DataForm;

/// \brief The close control of a skinned window: a hotspot `t_close` and the highlighted cross
/// `p_close` over the cross of the skin, the picture shown only while the pointer is on either.
void addCloseControl(DataForm &form, const QRect &units, const QString &picture);

/// \brief A button of the settings and restore windows: a rounded rectangle "rr_" + \a key in the
/// buttons' blue with the white caption "t_" + \a key on it, bold while the pointer is on either.
void addFormButton(DataForm &form, const QString &key, const QRect &units, const QString &caption);

/// Lets the user move the borderless \a window by dragging anywhere on its \a form.
void moveWindowOnDrag(QWidget *window, DataForm *form);

} // namespace garvina
