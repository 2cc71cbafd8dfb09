#pragma once

#include <QRect>
#include <QString>

class QWidget;

namespace garvina {

class DataForm;

/// \brief The close control of a skinned window: a hotspot `t_close` and the highlighted cross
/// `p_close` over the cross of the skin, the picture shown only while the pointer is on either.
void addCloseControl(DataForm &form, const QRect &units, const QString &picture);

/// Lets the user move the borderless \a window by dragging anywhere on its \a form.
void moveWindowOnDrag(QWidget *window, DataForm *form);

} // namespace garvina
