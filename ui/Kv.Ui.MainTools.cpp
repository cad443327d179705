// The main window's tool commands from a file panel: F3 views, F4 and Shift+F4 edit, Alt+F7
// searches, and a search hit is shown in the panel that searched.
#include <QApplication>
#include <QMessageBox>
#include <sys/stat.h>
#include <unistd.h>

#include "Kv.FS.Local.h"
#include "Kv.Log.h"
#include "Kv.Platform.Errors.h"
#include "Kv.Platform.Launch.h"
#include "Kv.Settings.h"
#include "Kv.Ui.FilePanel.h"
#include "Kv.Ui.MainForm.h"
#include "Kv.Ui.MainTools.h"
#include "Kv.Ui.Prompts.h"
#include "Kv.Ui.SearchForm.h"
#include "Kv.Ui.ViewerForm.h"

namespace kv {

namespace {

QString Q(const std::string& AText) {
    return QString::fromUtf8(AText.data(), int(AText.size()));
}

bool IsProgramFile(const std::string& APath) {
    struct stat st {};
    return ::stat(APath.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(APath.c_str(), X_OK) == 0;
}

} // namespace

std::string ChooseEditor(const std::string& AConfigured, const std::string& AEnvPath) {
    if (!AConfigured.empty() && IsProgramFile(AConfigured))
        return AConfigured;
    for (const char* editor : {"gnome-text-editor", "gedit", "kate", "kwrite", "mousepad", "xed",
                               "pluma", "featherpad"}) {
        size_t start = 0;
        while (start <= AEnvPath.size()) {
            size_t end = AEnvPath.find(':', start);
            if (end == std::string::npos)
                end = AEnvPath.size();
            std::string folder = AEnvPath.substr(start, end - start);
            if (!folder.empty() && IsProgramFile(folder + "/" + editor))
                return folder + "/" + editor;
            start = end + 1;
        }
    }
    return "xdg-open";
}

int StartEditor(const std::string& APath) {
    const char* envPath = ::getenv("PATH");
    const std::string editor = ChooseEditor(CurrentSettings().EditorExe, envPath ? envPath : "");
    return StartProgram({editor, APath}, LocalFs()->ParentOf(APath));
}

void CreateEmptyFile(IKvFileSystem& AFs, const std::string& APath) {
    if (AFs.ReadOnly())
        throw EKvFsError("This is read-only, so no file can be created here");
    TKvFileEntry entry;
    if (AFs.Stat(APath, entry)) {
        if (entry.IsDir)
            throw EKvFsError("There is a folder with that name");
        return;
    }
    TKvStreamPtr stream = AFs.OpenWrite(APath);
    if (auto* finishable = dynamic_cast<TKvFinishableStream*>(stream.get()))
        finishable->Finish();
}

std::string EditQuestion(const std::string& AName, int64_t ASize) {
    return "\"" + AName + "\" is " + FormatSize(ASize) + ". Fetch it from the server to edit it?";
}

bool EditAsksFirst(bool ARemote, int64_t ASize) {
    return ARemote && ASize > KEditAskSize;
}

// The focused file of the active panel for F3 and F4; a folder is refused in the panel.
bool TMainForm::FocusedFile(TKvFileEntry& AEntry) {
    TKvFilePanel& panel = *FHalves[FActive].Panel;
    if (panel.Path().empty() || !panel.FocusedEntry(AEntry))
        return false;
    if (AEntry.IsDir) {
        ShowRefusal("\"" + AEntry.Name + "\" is a folder, not a file");
        return false;
    }
    return true;
}

void TMainForm::ViewFocused() {
    TKvFilePanel& panel = *FHalves[FActive].Panel;
    TKvFileEntry entry;
    if (!FocusedFile(entry))
        return;
    IKvFileSystemPtr fs = panel.FileSystem();
    const std::string path = fs->Join(panel.Path(), entry.Name);
    const std::string program = CurrentSettings().ViewerExe;
    if (!program.empty() && panel.IsPlainLocal()) {
        const int error = StartProgram({program, path}, panel.Path());
        if (error == 0)
            return;
        ShowRefusal(program + ": " + ErrorText(error) + " - the built-in viewer is used");
    }
    TKvViewerForm::View(this, fs, path, entry.Size);
}

void TMainForm::EditFocused() {
    TKvFilePanel& panel = *FHalves[FActive].Panel;
    TKvFileEntry entry;
    if (!FocusedFile(entry))
        return;
    IKvFileSystemPtr fs = panel.FileSystem();
    if (fs->ReadOnly()) {
        ShowRefusal("Archives are read-only, so a file in one cannot be edited");
        return;
    }
    if (EditAsksFirst(panel.IsRemote(), entry.Size) &&
        !AskYesNo("Kolvan", EditQuestion(entry.Name, entry.Size), true, this))
        return;
    EditFile(fs, fs->Join(panel.Path(), entry.Name), entry.Size, nullptr);
}

void TMainForm::EditNewFile() {
    TKvFilePanel& panel = *FHalves[FActive].Panel;
    if (panel.Path().empty())
        return;
    IKvFileSystemPtr fs = panel.FileSystem();
    if (fs->ReadOnly()) {
        ShowRefusal("Archives are read-only");
        return;
    }
    TKvFileEntry entry;
    const std::string proposed =
        panel.FocusedEntry(entry) && !entry.IsDir ? entry.Name : std::string();
    std::string answer;
    if (!AskLine(this, "Edit new file", "File name:", proposed, answer))
        return;
    const std::string name = std::string(QString::fromStdString(answer).trimmed().toStdString());
    if (name.empty())
        return;
    const std::string path = fs->Normalize(fs->Resolve(panel.Path(), name));
    TKvFilePanel* target = &panel;
    EditFile(fs, path, -1, [this, target] {
        for (TKvHalf h : {rhLeft, rhRight})
            if (FHalves[h].Panel == target)
                target->Reload();
    });
}

// Files on the disk open in the editor at once (a new one is made empty first). Server files
// need an edit session that downloads them and sends every save back; this is its one entry.
void TMainForm::EditFile(IKvFileSystemPtr AFs, const std::string& APath, int64_t ASize,
                         std::function<void()> ACreated) {
    (void)ASize;
    const std::string name = AFs->NameOf(APath);
    if (AFs->Id() != LocalFs()->Id()) {
        ShowRefusal("\"" + name + "\" is on a server: editing server files is not part of this "
                                  "build yet");
        return;
    }
    const bool create = ACreated != nullptr;
    if (create)
        FHalves[FActive].Panel->ShowResult("Creating " + name + "...", false);
    FMiscWorker->Post([this, AFs, APath, name, create, ACreated, alive = FAlive](
                          const IKvCancelToken&) {
        std::string error;
        try {
            if (create)
                CreateEmptyFile(*AFs, APath);
            int code = StartEditor(APath);
            if (code != 0)
                error = name + ": the editor could not be started: " + ErrorText(code);
        } catch (const std::exception& e) {
            error = name + ": " + e.what();
        }
        KvDeliver(alive, [this, name, error, create, ACreated] {
            if (FClosing)
                return;
            if (!error.empty()) {
                ShowRefusal(error);
                return;
            }
            if (create && ACreated)
                ACreated();
            FHalves[FActive].Panel->ShowResult("Editing " + name, false);
        });
    });
}

void TMainForm::SearchFiles() {
    TKvFilePanel& panel = *FHalves[FActive].Panel;
    IKvFileSystemPtr fs = panel.FileSystem();
    if (!fs || panel.Path().empty())
        return;
    const std::string where = panel.DisplayPath();
    if (!AskSearchSpec(this, where, FLastSearch))
        return;
    FSearchPanel = &panel;
    TKvSearchResults::Open(this, fs, panel.Path(), where, FLastSearch,
                           [this](IKvFileSystemPtr AFs, const std::string& APath, bool AIsDir) {
                               SearchGoTo(AFs, APath, AIsDir);
                           });
}

void TMainForm::SearchGoTo(IKvFileSystemPtr AFs, const std::string& APath, bool) {
    if (FClosing)
        return;
    for (TKvHalf h : {rhLeft, rhRight}) {
        TKvFilePanel* panel = FHalves[h].Panel;
        if (panel != FSearchPanel || !panel->FileSystem() || panel->FileSystem()->Id() != AFs->Id())
            continue;
        panel->ShowItem(APath);
        SetActiveHalf(h);
        raise();
        activateWindow();
        return;
    }
    QMessageBox::information(QApplication::activeWindow(), "Kolvan",
                             "That half is not showing the place that was searched any more.");
}

} // namespace kv
