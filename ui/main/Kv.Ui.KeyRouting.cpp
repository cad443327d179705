#include "Kv.Ui.KeyRouting.h"

#include <QAbstractSpinBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>

namespace kv {

bool IsTextField(const QWidget* AWidget) {
    if (!AWidget || !AWidget->isEnabled())
        return false;
    if (auto* edit = qobject_cast<const QLineEdit*>(AWidget))
        return !edit->isReadOnly();
    if (auto* combo = qobject_cast<const QComboBox*>(AWidget))
        return combo->isEditable();
    if (auto* spin = qobject_cast<const QAbstractSpinBox*>(AWidget))
        return !spin->isReadOnly();
    if (auto* text = qobject_cast<const QTextEdit*>(AWidget))
        return !text->isReadOnly();
    if (auto* plain = qobject_cast<const QPlainTextEdit*>(AWidget))
        return !plain->isReadOnly();
    return false;
}

bool IsTextFieldKey(int AKey, Qt::KeyboardModifiers AModifiers) {
    const Qt::KeyboardModifiers mods = AModifiers & ~Qt::KeypadModifier;
    if (AKey == Qt::Key_Delete)
        return mods == Qt::NoModifier || mods == Qt::ShiftModifier;
    const bool ctrl =
        mods == Qt::ControlModifier || mods == (Qt::ControlModifier | Qt::ShiftModifier);
    return ctrl && AKey >= Qt::Key_A && AKey <= Qt::Key_Z;
}

bool KeyStaysInTextField(const QWidget* AFocus, const QKeyEvent* AEvent) {
    return AEvent && IsTextField(AFocus) && IsTextFieldKey(AEvent->key(), AEvent->modifiers());
}

} // namespace kv
