// Pieces the small fixed-layout dialogs share: sizes at 96 dpi placed on the screen's scale, a
// fixed-size modal form, centring on the main window, plain-text labels.
#pragma once

#include <QString>

class QDialog;
class QLabel;
class QWidget;

namespace kv {

void PlaceAt96(QWidget* AWidget, int ALeft, int ATop, int AWidth, int AHeight);
QDialog* NewFixedForm(QDialog* AForm, const QString& ATitle, int AClientWidth, int AClientHeight);
void CentreOnWindow(QDialog* AForm, QWidget* AOn);
// A label that shows its text as it is (no mnemonics, no rich text); ABold for titles; AElide
// shortens it in the middle to fit.
QLabel* PlainLabel(QWidget* AParent, const QString& AText, int ALeft, int ATop, int AWidth, int AHeight,
                   bool ABold = false, bool AElide = false);
QString QStr(const std::string& AText);

} // namespace kv
