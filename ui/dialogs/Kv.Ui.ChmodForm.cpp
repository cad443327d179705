#include "Kv.Ui.ChmodForm.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "Kv.Log.h"
#include "Kv.Text.h"
#include "Kv.Ui.DialogParts.h"
#include "Kv.Ui.Prompts.h"

namespace kv {

std::string OctalText(uint32_t AMode) {
    AMode &= 07777;
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + (AMode & 7)));
        AMode >>= 3;
    } while (AMode != 0);
    while (digits.size() < 3)
        digits.insert(digits.begin(), '0');
    return digits;
}

bool ParseOctalMode(const std::string& AText, uint32_t& AMode) {
    if (AText.empty() || AText.size() > 4)
        return false;
    uint32_t mode = 0;
    for (char c : AText) {
        if (c < '0' || c > '7')
            return false;
        mode = mode * 8 + static_cast<uint32_t>(c - '0');
    }
    AMode = mode;
    return true;
}

namespace {

constexpr int KChmodWidth = 420;

// Rows top to bottom, columns read, write, execute: the bit of each box.
constexpr int KBits[4][3] = {{8, 7, 6}, {5, 4, 3}, {2, 1, 0}, {11, 10, 9}};

void AddButtons(QDialog* AForm, int AOkLeft, int ACancelLeft, int ATop) {
    auto* ok = new QPushButton("OK", AForm);
    PlaceAt96(ok, AOkLeft, ATop, 80, 28);
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, AForm, &QDialog::accept);
    auto* cancel = new QPushButton("Cancel", AForm);
    PlaceAt96(cancel, ACancelLeft, ATop, 80, 28);
    QObject::connect(cancel, &QPushButton::clicked, AForm, &QDialog::reject);
}

} // namespace

TChmodForm::TChmodForm(QWidget* AOwner, const std::string& AName, uint32_t AMode) : QDialog(AOwner) {
    // Wider columns than the boxes need, so "Set group ID" never runs into "Sticky" in the
    // desktop's font.
    NewFixedForm(this, "Permissions", KChmodWidth, 250);
    PlainLabel(this, QStr(AName), 16, 12, KChmodWidth - 30, 20, true, true);
    const int columns[3] = {90, 195, 300};
    const char* headings[3] = {"Read", "Write", "Execute"};
    for (int c = 0; c < 3; ++c)
        PlainLabel(this, headings[c], columns[c], 40, 86, 18);
    const char* rows[4] = {"Owner", "Group", "Others", "Special"};
    const char* special[3] = {"Set user ID", "Set group ID", "Sticky"};
    for (int r = 0; r < 4; ++r) {
        int top = 66 + 26 * r;
        PlainLabel(this, rows[r], 16, top, 70, 18);
        for (int c = 0; c < 3; ++c) {
            auto* box = new QCheckBox(r == 3 ? special[c] : "", this);
            PlaceAt96(box, columns[c], top - 2, r == 3 ? 104 : 86, 20);
            box->setProperty("bit", KBits[r][c]);
            FBoxes[KBits[r][c]] = box;
            connect(box, &QCheckBox::clicked, this, &TChmodForm::BoxClicked);
        }
    }
    PlainLabel(this, "Octal", 16, 184, 70, 18);
    FOctal = new QLineEdit(this);
    FOctal->setMaxLength(4);
    PlaceAt96(FOctal, 90, 180, 70, 24);
    connect(FOctal, &QLineEdit::textChanged, this, &TChmodForm::OctalChanged);
    AddButtons(this, KChmodWidth - 180, KChmodWidth - 92, 250 - 40);
    ShowMode(AMode);
    FOctal->setFocus();
}

uint32_t TChmodForm::Mode() const {
    uint32_t mode = 0;
    for (int bit = 0; bit < 12; ++bit)
        if (FBoxes[bit]->isChecked())
            mode |= 1u << bit;
    return mode;
}

void TChmodForm::ShowMode(uint32_t AMode) {
    FUpdating = true;
    for (int bit = 0; bit < 12; ++bit)
        FBoxes[bit]->setChecked((AMode >> bit) & 1);
    FOctal->setText(QString::fromStdString(OctalText(AMode)));
    FUpdating = false;
}

void TChmodForm::BoxClicked() {
    if (FUpdating)
        return;
    FUpdating = true;
    FOctal->setText(QString::fromStdString(OctalText(Mode())));
    FUpdating = false;
}

void TChmodForm::OctalChanged() {
    if (FUpdating)
        return;
    uint32_t mode = 0;
    // A text that is not octal leaves the boxes as they were; the result comes from them.
    if (!ParseOctalMode(FOctal->text().toStdString(), mode))
        return;
    FUpdating = true;
    for (int bit = 0; bit < 12; ++bit)
        FBoxes[bit]->setChecked((mode >> bit) & 1);
    FUpdating = false;
}

TOwnerForm::TOwnerForm(QWidget* AOwner, const std::string& AName, bool AIsDir, bool AInclude,
                       const std::string& AGroup, const std::string& AUser)
    : QDialog(AOwner) {
    NewFixedForm(this, "Owner", 330, 190);
    PlainLabel(this, QStr(AName), 16, 12, 300, 20, true, true);
    PlainLabel(this, "Owner", 16, 44, 80, 20);
    FOwner = new QLineEdit(QStr(AUser), this);
    PlaceAt96(FOwner, 100, 40, 200, 24);
    PlainLabel(this, "Group", 16, 76, 80, 20);
    FGroup = new QLineEdit(QStr(AGroup), this);
    PlaceAt96(FGroup, 100, 72, 200, 24);
    FInclude = new QCheckBox("Include everything inside", this);
    PlaceAt96(FInclude, 100, 104, 220, 20);
    FInclude->setChecked(AIsDir && AInclude);
    FInclude->setEnabled(AIsDir);
    AddButtons(this, 138, 230, 146);
    FOwner->setFocus();
}

bool AskPermissions(QWidget* AOwner, const std::string& AName, uint32_t& AMode) {
    TChmodForm form(AOwner ? AOwner : DialogMainWindow(), AName, AMode & 07777);
    CentreOnWindow(&form, form.parentWidget());
    if (form.exec() != QDialog::Accepted)
        return false;
    AMode = form.Mode() & 07777;
    return true;
}

bool AskOwner(QWidget* AOwner, const std::string& AName, bool AIsDir, bool& AInclude, std::string& AGroup,
              std::string& AUser) {
    TOwnerForm form(AOwner ? AOwner : DialogMainWindow(), AName, AIsDir, AInclude, AGroup, AUser);
    CentreOnWindow(&form, form.parentWidget());
    if (form.exec() != QDialog::Accepted)
        return false;
    AUser = std::string(TrimmedView(form.OwnerEdit()->text().toStdString()));
    AGroup = std::string(TrimmedView(form.GroupEdit()->text().toStdString()));
    AInclude = form.IncludeBox()->isChecked();
    return true;
}

void EditPermissions(QWidget* AOwner, TKvWorker& AWorker, const IKvCancelTokenPtr& AAlive, const IKvFileSystemPtr& AFs,
                     const std::string& APath, TKvAccessReport AReport) {
    auto* modes = dynamic_cast<IKvFileMode*>(AFs.get());
    if (!modes) {
        AReport("This place has no permissions to change", true);
        return;
    }
    TKvWorker* worker = &AWorker;
    AWorker.Post([=](const IKvCancelToken&) {
        uint32_t mode = 0;
        std::string error;
        try {
            if (!modes->GetMode(APath, mode))
                error = APath + ": the permissions could not be read";
        } catch (const std::exception& e) {
            error = e.what();
        }
        KvDeliver(AAlive, [=] {
            if (!error.empty()) {
                AReport("chmod failed: " + error, true);
                return;
            }
            uint32_t chosen = mode;
            const std::string name = AFs->NameOf(APath);
            if (!AskPermissions(AOwner, name, chosen) || chosen == (mode & 07777))
                return;
            worker->Post([=](const IKvCancelToken&) {
                std::string failure;
                try {
                    modes->SetMode(APath, chosen);
                    uint32_t now = 0;
                    if (!modes->GetMode(APath, now) || (now & 07777) != chosen)
                        failure = "the file reports " + OctalText(now) + " still";
                } catch (const std::exception& e) {
                    failure = e.what();
                }
                Log("chmod: " + APath + " to " + OctalText(chosen) + " result [" + failure + "]");
                KvDeliver(AAlive, [=] {
                    if (failure.empty())
                        AReport("Permissions of " + name + " changed", false);
                    else
                        AReport("chmod failed: " + failure, true);
                });
            });
        });
    });
}

void EditOwner(QWidget* AOwner, TKvWorker& AWorker, const IKvCancelTokenPtr& AAlive, const IKvFileSystemPtr& AFs,
               const std::string& APath, bool AIsDir, TKvAccessReport AReport) {
    auto* owners = dynamic_cast<IKvFileOwner*>(AFs.get());
    if (!owners) {
        AReport("This server cannot change the owner", true);
        return;
    }
    TKvWorker* worker = &AWorker;
    AWorker.Post([=](const IKvCancelToken&) {
        std::string user, group;
        try {
            owners->GetOwner(APath, user, group);
        } catch (const std::exception&) {
            // Unknown names leave the fields empty for the user to fill in.
        }
        KvDeliver(AAlive, [=] {
            std::string newUser = user, newGroup = group;
            bool include = false;
            const std::string name = AFs->NameOf(APath);
            if (!AskOwner(AOwner, name, AIsDir, include, newGroup, newUser))
                return;
            if ((newUser == user && newGroup == group && !include) || (newUser.empty() && newGroup.empty()))
                return;
            const std::string spec = newUser + (newGroup.empty() ? "" : ":" + newGroup);
            worker->Post([=](const IKvCancelToken&) {
                std::string failure;
                try {
                    owners->SetOwner(APath, newUser, newGroup, include);
                } catch (const std::exception& e) {
                    failure = e.what();
                }
                Log("chown: " + APath + " to " + spec + " result [" + failure + "]");
                KvDeliver(AAlive, [=] {
                    if (failure.empty())
                        AReport("Owner of " + name + " changed to " + spec, false);
                    else
                        AReport("chown failed: " + failure, true);
                });
            });
        });
    });
}

} // namespace kv
