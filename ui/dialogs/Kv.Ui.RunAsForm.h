// "Run as...": parameters for each way of running (normally or as administrator), the program
// that opens a file that is no program, and a desktop launcher that repeats the run. The
// terminal variant asks for sudo and a runner instead, and makes no launcher.
#pragma once

#include <QDialog>
#include <string>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace kv {

struct TKvRunAsResult {
    std::string Program;       // the opener or runner; empty for the usual way
    std::string LauncherError; // a launcher was asked for and could not be made
    std::string LauncherPath;  // the launcher made
    bool Admin = false;
    std::string Params;
};

class TRunAsForm : public QDialog {
    Q_OBJECT

public:
    TRunAsForm(QWidget* AOwner, const std::string& AShownPath, const std::string& AKey, bool ANotExecutable,
               bool ATerminal);
    // Stores the remembered values and fills AResult; called after "Run".
    void Finish(TKvRunAsResult& AResult);

    QCheckBox* Box = nullptr;
    QLineEdit* Edit = nullptr;
    QCheckBox* CmdBox = nullptr;
    QLineEdit* CmdName = nullptr;
    QLabel* CmdSuffix = nullptr;
    QRadioButton* UsualRadio = nullptr;
    QRadioButton* OtherRadio = nullptr;
    QLineEdit* ProgEdit = nullptr;
    QPushButton* BrowseBtn = nullptr;
    QLineEdit* RunnerEdit = nullptr;

    // The checks "Run" makes before the dialog may close; empty when it may.
    std::string CloseProblem();

protected:
    void done(int AResult) override;

private:
    void Store();
    void Changed();
    void ProgChanged();
    void BrowseClick();
    void CmdChanged();

    std::string FPath, FKey;
    bool FNotExecutable = false, FTerminal = false;
    std::string FNormalText, FAdminText;
    bool FAdmin = false;
};

bool RunAsDialog(QWidget* AOwner, const std::string& AShownPath, const std::string& AKey, bool ANotExecutable,
                 TKvRunAsResult& AResult, bool ATerminal = false);

} // namespace kv
