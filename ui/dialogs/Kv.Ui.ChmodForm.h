// The permissions dialog (twelve boxes kept in step with an octal field) and the owner dialog.
// Both only collect values; ApplyPermissions and ApplyOwner do the file system's work.
#pragma once

#include <QDialog>
#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "Kv.FileSystem.h"
#include "Kv.Worker.h"

class QCheckBox;
class QLineEdit;

namespace kv {

// The octal digits of the low twelve bits, at least three: 0 "000", 0644 "644", 04755 "4755".
std::string OctalText(uint32_t AMode);
// A mode typed as octal: 1 to 4 digits 0-7. False for anything else.
bool ParseOctalMode(const std::string& AText, uint32_t& AMode);

class TChmodForm : public QDialog {
    Q_OBJECT

public:
    TChmodForm(QWidget* AOwner, const std::string& AName, uint32_t AMode);
    // The checked boxes' bits.
    uint32_t Mode() const;
    QCheckBox* Box(int ABit) const { return FBoxes[ABit]; }
    QLineEdit* OctalEdit() const { return FOctal; }

private:
    void ShowMode(uint32_t AMode);
    void BoxClicked();
    void OctalChanged();

    std::array<QCheckBox*, 12> FBoxes{};
    QLineEdit* FOctal = nullptr;
    bool FUpdating = false;
};

class TOwnerForm : public QDialog {
    Q_OBJECT

public:
    TOwnerForm(QWidget* AOwner, const std::string& AName, bool AIsDir, bool AInclude, const std::string& AGroup,
               const std::string& AUser);
    QLineEdit* OwnerEdit() const { return FOwner; }
    QLineEdit* GroupEdit() const { return FGroup; }
    QCheckBox* IncludeBox() const { return FInclude; }

private:
    QLineEdit* FOwner = nullptr;
    QLineEdit* FGroup = nullptr;
    QCheckBox* FInclude = nullptr;
};

// Modal: true with the new mode (twelve bits) when confirmed; AMode unchanged otherwise.
bool AskPermissions(QWidget* AOwner, const std::string& AName, uint32_t& AMode);
// Modal: true with the trimmed names and the include flag when confirmed.
bool AskOwner(QWidget* AOwner, const std::string& AName, bool AIsDir, bool& AInclude, std::string& AGroup,
              std::string& AUser);

// What a permission or owner change ended with: (text, is error).
using TKvAccessReport = std::function<void(const std::string& AText, bool AIsError)>;
// Reads the mode on AWorker, asks on this thread, and sets a changed mode on AWorker through the
// file system's permission calls. AReport hears the outcome (nothing when cancelled or equal).
void EditPermissions(QWidget* AOwner, TKvWorker& AWorker, const IKvCancelTokenPtr& AAlive, const IKvFileSystemPtr& AFs,
                     const std::string& APath, TKvAccessReport AReport);
// The same for owner and group through the file system's owner calls.
void EditOwner(QWidget* AOwner, TKvWorker& AWorker, const IKvCancelTokenPtr& AAlive, const IKvFileSystemPtr& AFs,
               const std::string& APath, bool AIsDir, TKvAccessReport AReport);

} // namespace kv
