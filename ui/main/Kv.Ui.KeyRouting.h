// Which keys a focused text field keeps: commands behind it must not see them.
#pragma once

#include <Qt>

class QKeyEvent;
class QWidget;

namespace kv {

// An editable text field: a line edit, an editable combo box or spin box, a text editor.
bool IsTextField(const QWidget* AWidget);
// Delete and Shift+Delete (they delete text, never files) and the Ctrl letter keys (Ctrl+A,
// Ctrl+H, Ctrl+U are the field's even where it does nothing with them).
bool IsTextFieldKey(int AKey, Qt::KeyboardModifiers AModifiers);
// Both: the key stays with AFocus and runs no window command.
bool KeyStaysInTextField(const QWidget* AFocus, const QKeyEvent* AEvent);

} // namespace kv
