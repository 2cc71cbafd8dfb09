#include "ui/form/dataform.h"

#include <QApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

DataForm::DataForm(QWidget *parent) : QWidget(parent)
{
    setMouseTracking(true);
    // A press on the form takes the focus from its fields, as leaving a field by Tab does, so that an
    // unfinished entry ends (and shows what the row holds) before a button acts on the row.
    setFocusPolicy(Qt::ClickFocus);
}

DataForm::~DataForm()
{
    // Fields delete their widgets while the form is still whole, so that nothing a dying editor
    // reports reaches a half-destroyed form.
    m_destroying = true;
    m_cursorObject = nullptr;
    m_fieldWidgets.clear();
    m_objects.clear();
}

// The row -----------------------------------------------------------------------------------------

void DataForm::addColumn(const QString &column, const QString &initialValue)
{
    if (!m_row.contains(column))
        m_row.insert(column, initialValue);
}

bool DataForm::setItem(const QString &column, const QString &value)
{
    if (!m_row.contains(column)) {
        qWarning().noquote() << u"DataForm: no column"_s << column;
        return false;
    }
    FormField *editor = field(column);
    const QString stored = editor ? editor->normalize(value) : value;
    if (editor)
        editor->showValue(stored);
    storeItem(column, stored);
    return true;
}

QString DataForm::getItem(const QString &column) const
{
    return m_row.value(column);
}

bool DataForm::itemIn(const QString &column, const QStringList &values) const
{
    return m_row.contains(column) && values.contains(m_row.value(column));
}

void DataForm::storeItem(const QString &column, const QString &value)
{
    QString &slot = m_row[column];
    if (slot == value)
        return;
    slot = value;
    refresh();
    Q_EMIT itemChanged(column);
}

void DataForm::fieldEdited(FormField *editor, const QString &value)
{
    if (m_destroying)
        return;
    storeItem(editor->column(), value);
}

void DataForm::refresh()
{
    for (const auto &object : m_objects)
        object->sync();
    update();
}

// Objects -----------------------------------------------------------------------------------------

std::vector<std::unique_ptr<FormObject>>::iterator DataForm::find(const QString &name)
{
    return std::find_if(m_objects.begin(), m_objects.end(),
                        [&](const std::unique_ptr<FormObject> &o) { return o->name() == name; });
}

std::vector<std::unique_ptr<FormObject>>::const_iterator DataForm::find(const QString &name) const
{
    return std::find_if(m_objects.cbegin(), m_objects.cend(),
                        [&](const std::unique_ptr<FormObject> &o) { return o->name() == name; });
}

template <typename T> T &DataForm::adopt(T *object)
{
    std::unique_ptr<FormObject> owned(object);
    auto old = find(object->name());
    if (old != m_objects.end()) {
        qWarning().noquote() << u"DataForm: object replaced:"_s << object->name();
        const FormObject *gone = old->get();
        if (m_cursorObject == gone)
            m_cursorObject = nullptr;
        for (auto it = m_fieldWidgets.begin(); it != m_fieldWidgets.end();) {
            if (it.value() == gone)
                it = m_fieldWidgets.erase(it);
            else
                ++it;
        }
        m_objects.erase(old);
    }
    m_objects.push_back(std::move(owned));
    object->sync();
    updateGeometry();
    update();
    return *object;
}

template <typename T> T *DataForm::objectOfKind(const QString &name, FormObject::Kind kind) const
{
    FormObject *o = object(name);
    return o && o->kind() == kind ? static_cast<T *>(o) : nullptr;
}

FormText &DataForm::addText(const QString &name, const QRect &units, const QString &text)
{
    return adopt(new FormText(*this, name, units, text));
}

FormPicture &DataForm::addPicture(const QString &name, const QRect &units, const QString &fileName)
{
    return adopt(new FormPicture(*this, name, units, fileName));
}

FormLine &DataForm::addLine(const QString &name, const QPoint &fromUnits, const QPoint &toUnits)
{
    return adopt(new FormLine(*this, name, fromUnits, toUnits));
}

FormGroupBox &DataForm::addGroupBox(const QString &name, const QRect &units, const QString &title)
{
    return adopt(new FormGroupBox(*this, name, units, title));
}

FormRoundRect &DataForm::addRoundRect(const QString &name, const QRect &units)
{
    return adopt(new FormRoundRect(*this, name, units));
}

FormField &DataForm::addLineEdit(const QString &column, const QRect &units)
{
    return adoptField(new FormField(*this, column, FormField::Editor::LineEdit, units));
}

FormField &DataForm::addPasswordEdit(const QString &column, const QRect &units)
{
    return adoptField(new FormField(*this, column, FormField::Editor::Password, units));
}

FormField &DataForm::addCheckBox(const QString &column, const QRect &units, const QString &label,
                                 const QString &onValue, const QString &offValue)
{
    auto *box = new FormField(*this, column, FormField::Editor::CheckBox, units);
    box->setCheckValues(label, onValue, offValue);
    return adoptField(box);
}

FormField &DataForm::addRadioGroup(const QString &column, const QRect &units,
                                   const QList<FormChoice> &choices)
{
    auto *group = new FormField(*this, column, FormField::Editor::RadioGroup, units);
    group->setChoices(choices);
    return adoptField(group);
}

FormField &DataForm::addTimeField(const QString &column, const QRect &units)
{
    return adoptField(new FormField(*this, column, FormField::Editor::Time, units));
}

FormField &DataForm::addIntegerField(const QString &column, const QRect &units, int spinMinimum,
                                     int spinMaximum)
{
    auto *number = new FormField(*this, column, FormField::Editor::Integer, units);
    number->setSpinRange(spinMinimum, spinMaximum);
    return adoptField(number);
}

FormField &DataForm::adoptField(FormField *newField)
{
    addColumn(newField->column());
    FormField &f = adopt(newField);
    watchFieldWidgets(&f);
    const QString stored = f.normalize(getItem(f.column()));
    f.showValue(stored);
    storeItem(f.column(), stored);
    restackFields();
    return f;
}

void DataForm::watchFieldWidgets(FormField *owner)
{
    const QList<QWidget *> editors = owner->widgets();
    for (QWidget *editor : editors) {
        QList<QWidget *> all = editor->findChildren<QWidget *>();
        all.prepend(editor);
        for (QWidget *w : std::as_const(all)) {
            // Tracking makes moves without a button reach the field, where the filter sees them.
            w->setMouseTracking(true);
            w->installEventFilter(this);
            m_fieldWidgets.insert(w, owner);
            connect(w, &QObject::destroyed, this, [this](QObject *gone) { m_fieldWidgets.remove(gone); });
        }
    }
}

FormObject *DataForm::object(const QString &name) const
{
    auto it = find(name);
    return it == m_objects.cend() ? nullptr : it->get();
}

FormText *DataForm::text(const QString &name) const
{
    return objectOfKind<FormText>(name, FormObject::Kind::Text);
}

FormPicture *DataForm::picture(const QString &name) const
{
    return objectOfKind<FormPicture>(name, FormObject::Kind::Picture);
}

FormLine *DataForm::line(const QString &name) const
{
    return objectOfKind<FormLine>(name, FormObject::Kind::Line);
}

FormGroupBox *DataForm::groupBox(const QString &name) const
{
    return objectOfKind<FormGroupBox>(name, FormObject::Kind::GroupBox);
}

FormRoundRect *DataForm::roundRect(const QString &name) const
{
    return objectOfKind<FormRoundRect>(name, FormObject::Kind::RoundRect);
}

FormField *DataForm::field(const QString &column) const
{
    return objectOfKind<FormField>(column, FormObject::Kind::Field);
}

QStringList DataForm::objectNames() const
{
    QStringList names;
    for (const auto &o : m_objects)
        names.append(o->name());
    return names;
}

bool DataForm::sendToBack(const QString &name)
{
    auto it = find(name);
    if (it == m_objects.end())
        return false;
    std::rotate(m_objects.begin(), it, std::next(it));
    restackFields();
    update();
    return true;
}

bool DataForm::bringToFront(const QString &name)
{
    auto it = find(name);
    if (it == m_objects.end())
        return false;
    std::rotate(it, std::next(it), m_objects.end());
    restackFields();
    update();
    return true;
}

void DataForm::restackFields()
{
    for (const auto &o : m_objects) {
        if (o->kind() != FormObject::Kind::Field)
            continue;
        const QList<QWidget *> editors = static_cast<FormField *>(o.get())->widgets();
        for (QWidget *w : editors)
            w->raise();
    }
}

void DataForm::objectChanged(FormObject *changedObject)
{
    if (m_destroying || object(changedObject->name()) != changedObject)
        return; // still being built; the form syncs it when it takes it
    changedObject->sync();
    updateGeometry();
    update();
}

// Size --------------------------------------------------------------------------------------------

void DataForm::setFormSize(const QSize &units)
{
    m_formSizeUnits = units;
    updateGeometry();
}

QSize DataForm::formSize() const
{
    if (m_formSizeUnits.isValid())
        return formUnitsToPixels(m_formSizeUnits);
    int right = 0;
    int bottom = 0;
    for (const auto &o : m_objects) {
        const QRect r = o->pixelRect();
        if (r.isEmpty())
            continue;
        right = std::max(right, r.x() + r.width());
        bottom = std::max(bottom, r.y() + r.height());
    }
    return {right, bottom};
}

QSize DataForm::sizeHint() const
{
    return formSize();
}

// Pointer -----------------------------------------------------------------------------------------

FormObject *DataForm::topmostAt(const QPoint &pixel) const
{
    // Fields are child widgets and so always lie above whatever is painted: look at them first.
    for (auto it = m_objects.rbegin(); it != m_objects.rend(); ++it) {
        FormObject *o = it->get();
        if (o->kind() == FormObject::Kind::Field && o->isVisible() && o->hitTest(pixel))
            return o;
    }
    for (auto it = m_objects.rbegin(); it != m_objects.rend(); ++it) {
        FormObject *o = it->get();
        if (o->kind() != FormObject::Kind::Field && o->isVisible() && o->hitTest(pixel))
            return o;
    }
    return nullptr;
}

QString DataForm::objectAt(const QPoint &pixel) const
{
    const FormObject *o = topmostAt(pixel);
    return o ? o->name() : QString();
}

QString DataForm::getObjectAtPointer() const
{
    if (!isVisible())
        return {};
    const QPoint pos = mapFromGlobal(QCursor::pos());
    if (!rect().contains(pos))
        return {};
    const QString name = objectAt(pos);
    return name.isEmpty() ? QString() : name + u"\t1"_s;
}

QRect DataForm::objectRect(const QString &name) const
{
    const FormObject *o = object(name);
    return o ? o->pixelRect() : QRect();
}

void DataForm::setHoverColumn(const QString &column, HoverRule rule)
{
    if (!column.isEmpty())
        addColumn(column);
    m_hoverColumn = column;
    m_hoverRule = rule;
    m_lastHoverAnswer.clear();
}

void DataForm::clearHover()
{
    m_lastHoverAnswer.clear();
    if (!m_hoverColumn.isEmpty())
        setItem(m_hoverColumn, QString());
}

void DataForm::pointerAt(const QMouseEvent *event, const QPoint &pixel)
{
    // A move over a field can reach the form twice: through the filter on the field, and again when
    // the field passes it on to its parent. Handle it once.
    if (event->timestamp() == m_lastMoveTimestamp && event->globalPosition() == m_lastMoveGlobal)
        return;
    m_lastMoveTimestamp = event->timestamp();
    m_lastMoveGlobal = event->globalPosition();

    const FormObject *hit = topmostAt(pixel);
    const QString answer = hit ? hit->name() + u"\t1"_s : QString();

    if (hit != m_cursorObject) {
        m_cursorObject = hit;
        if (hit && hit->kind() != FormObject::Kind::Field && hit->cursorShape() != Qt::ArrowCursor)
            setCursor(hit->cursorShape());
        else
            unsetCursor();
    }

    if (!m_hoverColumn.isEmpty() && answer != m_lastHoverAnswer &&
        (m_hoverRule == HoverRule::IncludeEmpty || !answer.isEmpty())) {
        m_lastHoverAnswer = answer;
        setItem(m_hoverColumn, answer.section(u'\t', 0, 0));
    }
    Q_EMIT pointerMoved(answer);
}

// Events ------------------------------------------------------------------------------------------

void DataForm::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    for (const auto &o : m_objects) {
        if (o->kind() == FormObject::Kind::Field || !o->isVisible())
            continue;
        painter.save();
        o->paint(painter);
        painter.restore();
    }
}

void DataForm::mouseMoveEvent(QMouseEvent *event)
{
    const QPoint pos = event->position().toPoint();
    if (m_pressedOnForm && !m_dragRequested && (event->buttons() & Qt::LeftButton) &&
        (pos - m_pressPos).manhattanLength() >= QApplication::startDragDistance()) {
        m_dragRequested = true;
        Q_EMIT dragRequested();
    }
    pointerAt(event, pos);
}

void DataForm::mousePressEvent(QMouseEvent *event)
{
    const QPoint pos = event->position().toPoint();
    if (m_fieldWidgets.contains(childAt(pos))) {
        // Passed on by a field that did not want it: the press was meant for the field.
        event->ignore();
        return;
    }
    if (event->button() == Qt::LeftButton) {
        m_pressedOnForm = true;
        m_dragRequested = false;
        m_pressPos = pos;
    }
    Q_EMIT pressed();
}

void DataForm::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    const bool click = m_pressedOnForm && !m_dragRequested;
    m_pressedOnForm = false;
    m_dragRequested = false;
    if (!click)
        return;
    const QString name = objectAt(event->position().toPoint());
    if (!name.isEmpty())
        Q_EMIT clicked(name);
}

bool DataForm::eventFilter(QObject *watched, QEvent *event)
{
    if (m_destroying)
        return false;
    FormField *owner = m_fieldWidgets.value(watched);
    if (!owner)
        return QWidget::eventFilter(watched, event);

    switch (event->type()) {
    case QEvent::MouseMove: {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        const auto *w = static_cast<QWidget *>(watched);
        pointerAt(mouse, w->mapTo(this, mouse->position().toPoint()));
        break;
    }
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
        if (owner->blocksInput())
            return true;
        break;
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
        if (owner->blocksInput()) {
            switch (static_cast<QKeyEvent *>(event)->key()) {
            case Qt::Key_Space:
            case Qt::Key_Select:
            case Qt::Key_Up:
            case Qt::Key_Down:
            case Qt::Key_Left:
            case Qt::Key_Right:
                return true;
            default:
                break;
            }
        }
        break;
    default:
        break;
    }
    return false;
}

} // namespace garvina
