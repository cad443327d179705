#include "Kv.Ui.ShellActions.h"

#include <QDesktopServices>
#include <QUrl>
#include <algorithm>
#include <map>
#include <set>

#include "Kv.EditSession.h"
#include "Kv.Log.h"
#include "Kv.Selection.h"
#include "Kv.Shell.Commands.h"
#include "Kv.Shell.Quote.h"
#include "Kv.Shell.Words.h"
#include "Kv.Text.h"
#include "Kv.Ui.ChmodForm.h"
#include "Kv.Ui.Clipboard.h"
#include "Kv.Ui.Prompts.h"
#include "Kv.Ui.PropertiesForm.h"
#include "Kv.Ui.RunAsForm.h"
#include "Kv.Ui.ViewerForm.h"

namespace kv {

namespace {

std::string Trimmed(std::string_view AText) {
    return std::string(TrimmedView(AText));
}

std::string ErrorOf(const std::exception& AError) {
    return AError.what();
}

// Whether the path itself (not what it leads to) is a symbolic link. Stat follows links, so
// without this a link to a folder would be emptied as if it were the folder.
bool IsLinkItself(IKvFileSystem& AFs, const std::string& APath, const IKvCancelToken& AToken) {
    if (auto* links = dynamic_cast<IKvSymlinks*>(&AFs)) {
        std::string target;
        return links->ReadLink(APath, target);
    }
    const std::string name = AFs.NameOf(APath);
    for (const auto& entry : AFs.List(AFs.ParentOf(APath), AToken))
        if (entry.Name == name)
            return entry.IsLink;
    return false;
}

void DeleteTree(IKvFileSystem& AFs, const std::string& APath, const IKvCancelToken& AToken) {
    for (const auto& entry : AFs.List(APath, AToken)) {
        CheckCancelled(AToken);
        const std::string child = AFs.Join(APath, entry.Name);
        if (entry.IsDir && !entry.IsLink)
            DeleteTree(AFs, child, AToken);
        else if (entry.IsDir)
            AFs.DeleteDirAt(child); // a link to a folder: the link goes, the folder stays
        else
            AFs.DeleteFileAt(child);
    }
    AFs.DeleteDirAt(APath);
}

// After a modal dialog, which runs the event loop: whether the object that asked (its alive token
// taken before the dialog) has gone meanwhile.
bool Gone(const IKvCancelTokenPtr& AAlive) {
    return AAlive->IsCancelled();
}

// The mode a job found, for the UI thread.
struct TModeRead {
    bool Ok = false;
    uint32_t Mode = 0;
    std::string Error;
};

} // namespace

std::string DeleteQuestion(const std::string& AShellPath, bool AIsDir) {
    if (AIsDir)
        return "Delete the folder \"" + AShellPath +
               "\" and everything in it?\n\nThis is on the server, and it can not be undone.";
    return "Delete \"" + AShellPath + "\"?\n\nThis is on the server, and it can not be undone.";
}

TKvShellActions::TKvShellActions(TKvShellPanel& APanel, TKvEditSessions& AEdits,
                                 QWidget* ADialogOwner)
    : FPanel(&APanel), FEdits(AEdits), FOwner(ADialogOwner), FAlive(NewCancelToken()),
      FPropWorker(std::make_unique<TKvWorker>()) {
    TKvTerminal* term = APanel.Terminal();
    term->OnLinkClick = [this](TKvTerminal* ATerm, const TKvTermLink& ALink, const QPoint& APos) {
        if (!FPanel || !FPanel->FileSystem())
            return;
        Log("menu: " + ALink.Path);
        FLink = ALink;
        ATerm->PopupLinkMenu(ALink, APos);
    };
    term->OnLinkAction = [this](TKvTerminal*, TKvLinkAction AAction, const TKvTermLink& ALink) {
        RunAction(AAction, ALink);
    };
    term->OnLinkDblClick = [this](TKvTerminal*, const TKvTermLink& ALink) { OpenLink(ALink); };
    term->OnHyperlink = [this](TKvTerminal*, const std::string& AUri, const QPoint& APos,
                               bool AMenu) { OpenHyperlink(AUri, APos, AMenu); };
}

TKvShellActions::~TKvShellActions() {
    FAlive->Cancel();
    if (FPanel) {
        TKvTerminal* term = FPanel->Terminal();
        term->OnLinkClick = nullptr;
        term->OnLinkAction = nullptr;
        term->OnLinkDblClick = nullptr;
        term->OnHyperlink = nullptr;
    }
    try {
        FPropWorker->Stop(2000);
    } catch (const std::exception& e) {
        Log("closing terminal actions: " + ErrorOf(e));
    }
}

// ---- Plumbing ----------------------------------------------------------------------------

void TKvShellActions::Status(const std::string& AText, int ASeconds) {
    if (FPanel)
        FPanel->SetStatus(AText, ASeconds);
}

IKvFileSystemPtr TKvShellActions::FilesOrRefuse() {
    if (!FPanel)
        return nullptr;
    if (FPanel->FilesReady())
        if (auto fs = FPanel->FileSystem())
            return fs;
    if (FPanel->HasFiles())
        Status("The file connection to the server is not ready yet", 6);
    else
        Status("A Telnet terminal has no access to files", 6);
    return nullptr;
}

std::string TKvShellActions::FolderOrRefuse() {
    const std::string folder = FPanel ? FPanel->CurrentDir() : std::string();
    if (folder.empty())
        Status("The shell has not said which folder it is in. Press Enter once and try again", 8);
    return folder;
}

bool TKvShellActions::Post(TKvWorkProc AWork) {
    // The connection may have ended while a dialog was open.
    if (!FPanel || !FPanel->Model().Files()) {
        Status("The file connection to the server is not ready yet", 6);
        return false;
    }
    FPanel->Model().Files()->Post(std::move(AWork));
    return true;
}

TKvShellActions::TDeliver TKvShellActions::Deliverer() {
    // Jobs hold this, not the object: it is reached only on the UI thread, after the token says
    // the object still lives.
    return [this, alive = FAlive](std::function<void()> AProc) {
        KvDeliver(alive, [this, proc = std::move(AProc)] {
            if (FPanel)
                proc();
        });
    };
}

std::string TKvShellActions::ShellPath(const std::string& ASftpPath) {
    if (FPanel && FPanel->Model().Files())
        return FPanel->Model().Files()->FromSftp(ASftpPath);
    return ASftpPath;
}

// ---- Link events -------------------------------------------------------------------------

void TKvShellActions::OpenLink(const TKvTermLink& ALink) {
    if (!FPanel || !FPanel->FileSystem())
        return;
    if (ALink.IsDir) {
        // By the name as shown: it is relative to the shell's folder. TypeCd refuses names
        // with control characters and says so.
        if (!FPanel->Model().TypeCd(ALink.Name))
            Status(FPanel->LastStatus(), 8);
        return;
    }
    FLink = ALink;
    View(ALink);
}

void TKvShellActions::OpenHyperlink(const std::string& AUri, const QPoint& AScreenPos,
                                    bool AMenu) {
    if (!FPanel)
        return;
    std::string shellPath, sftpPath;
    if (!FPanel->Model().ServerFileLink(AUri, shellPath, sftpPath)) {
        if (AMenu)
            return;
        if (FPanel->IsLocal()) {
            const std::string local = FileUrlToLocalPath(AUri);
            if (!local.empty()) {
                QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(local)));
                return;
            }
        }
        if (!OpenWebLink(AUri))
            Status("This link is not to a file on this server or to a web page: " + AUri, 8);
        return;
    }
    auto fs = FilesOrRefuse();
    if (!fs)
        return;
    // The link names the file exactly; whether it is a folder, and its size, the server says.
    Post([deliver = Deliverer(), fs, shellPath, sftpPath, AScreenPos, AMenu,
          this](const IKvCancelToken&) {
        TKvFileEntry entry;
        std::string error;
        bool found = false;
        try {
            found = fs->Stat(sftpPath, entry);
        } catch (const EKvCancelled&) {
            throw;
        } catch (const std::exception& e) {
            error = ErrorOf(e);
        }
        deliver([this, found, entry, error, shellPath, sftpPath, AScreenPos, AMenu] {
            if (!found) {
                Status(error.empty() ? shellPath + ": not found on the server" : error, 8);
                return;
            }
            // The name is the whole path: a cd to it works from any folder.
            const TKvTermLink link{shellPath, sftpPath, entry.IsDir, entry.Size};
            FLink = link;
            if (AMenu)
                FPanel->Terminal()->PopupLinkMenu(link, AScreenPos);
            else
                OpenLink(link);
        });
    });
}

void TKvShellActions::RunAction(TKvLinkAction AAction, const TKvTermLink& ALink) {
    if (!FPanel)
        return;
    FLink = ALink;
    auto fs = FPanel->FileSystem();
    if (!fs) {
        FilesOrRefuse();
        return;
    }
    switch (AAction) {
    case laView:
        View(ALink);
        break;
    case laEdit:
        FEdits.Edit(fs, ALink.Path, ALink.Size);
        break;
    case laRunAs:
        RunAs(ALink);
        break;
    case laCopyPath:
        CopyTextToClipboard(ShellPath(ALink.Path));
        Status("The path is on the clipboard", 4);
        break;
    case laCopyToOther:
    case laMoveToOther: {
        TKvFileEntry entry;
        entry.Name = fs->NameOf(ALink.Path);
        entry.IsDir = ALink.IsDir;
        entry.Size = ALink.Size;
        if (OnTransfer)
            OnTransfer(AAction == laMoveToOther, fs, fs->ParentOf(ALink.Path), {entry});
        break;
    }
    case laRename:
        Rename(ALink);
        break;
    case laDelete:
        Delete(ALink);
        break;
    case laChmod:
        Chmod(ALink);
        break;
    case laChown:
        Chown(ALink);
        break;
    case laProperties:
        ShowFileProperties(FOwner, *FPropWorker, FAlive, ALink.Path, fs);
        break;
    }
}

void TKvShellActions::View(const TKvTermLink& ALink) {
    if (auto fs = FPanel ? FPanel->FileSystem() : nullptr)
        TKvViewerForm::View(FOwner, fs, ALink.Path, ALink.Size);
}

// ---- Run as --------------------------------------------------------------------------------

void TKvShellActions::RunAs(const TKvTermLink& ALink) {
    if (ALink.IsDir)
        return;
    auto fs = FPanel->FileSystem();
    const std::string path = ALink.Path;
    Post([this, deliver = Deliverer(), fs, path](const IKvCancelToken&) {
        bool executable = false;
        if (auto* modes = dynamic_cast<IKvFileMode*>(fs.get())) {
            try {
                uint32_t mode = 0;
                executable = modes->GetMode(path, mode) && (mode & 0111) != 0;
            } catch (const EKvCancelled&) {
                throw;
            } catch (const std::exception&) {
                executable = false;
            }
        }
        deliver([this, fs, path, executable] {
            const std::string shellPath = ShellPath(path);
            const std::string key = FPanel->Model().Connector().Id + "|" + path;
            TKvRunAsResult result;
            const auto alive = FAlive;
            if (!RunAsDialog(FOwner, shellPath, key, !executable, result, true) || Gone(alive) ||
                !FPanel)
                return;
            const std::string cwd = FPanel->CurrentDir();
            const bool inCwd = !cwd.empty() && fs->SamePath(cwd, fs->ParentOf(path));
            const std::string command =
                RunAsCommand(Trimmed(result.Program), shellPath, fs->NameOf(path), inCwd,
                             Trimmed(result.Params), result.Admin);
            // Typed into a terminal, a control character would act (^C, ^U) instead of being text.
            if (HoldsControlCharacters(command)) {
                Status("The command has control characters in it, so it cannot be typed into the "
                       "shell",
                       8);
                return;
            }
            FPanel->TypeLine(command);
        });
    });
}

// ---- Rename ------------------------------------------------------------------------------

void TKvShellActions::Rename(const TKvTermLink& ALink) {
    auto fs = FPanel->FileSystem();
    const std::string oldPath = ALink.Path;
    const std::string oldName = fs->NameOf(oldPath);
    std::string answer;
    const auto alive = FAlive;
    if (!AskLine(FOwner, "Rename", "New name:", oldName, answer) || Gone(alive) || !FPanel)
        return;
    const std::string name = Trimmed(answer);
    if (name.empty() || name == oldName)
        return;
    const std::string newPath = fs->Resolve(fs->ParentOf(oldPath), name);
    const std::string newName = fs->NameOf(newPath);
    Status("Renaming...", 0);
    Post([this, deliver = Deliverer(), fs, oldPath, newPath, newName](const IKvCancelToken&) {
        std::string error;
        try {
            fs->RenamePath(oldPath, newPath, false);
            Log("rename: " + oldPath + " -> " + newPath);
        } catch (const EKvCancelled&) {
            throw;
        } catch (const std::exception& e) {
            error = ErrorOf(e);
        }
        deliver([this, fs, oldPath, newPath, error, newName] {
            if (!error.empty()) {
                Status("Rename failed: " + error, 8);
                return;
            }
            Status("Renamed to " + newName, 4);
            FPanel->RefreshLinks();
            if (OnFolderChanged) {
                OnFolderChanged(fs, fs->ParentOf(oldPath));
                if (!fs->SamePath(fs->ParentOf(oldPath), fs->ParentOf(newPath)))
                    OnFolderChanged(fs, fs->ParentOf(newPath));
            }
        });
    });
}

// ---- Delete ------------------------------------------------------------------------------

void TKvShellActions::Delete(const TKvTermLink& ALink) {
    auto fs = FPanel->FileSystem();
    const std::string path = ALink.Path;
    const std::string name = fs->NameOf(path);
    // The full path: the folder came from a report that any printed file can fake.
    const auto alive = FAlive;
    if (!AskYesNo("Delete", DeleteQuestion(ShellPath(path), ALink.IsDir), false, FOwner) ||
        Gone(alive) || !FPanel)
        return;
    Status("Deleting " + name + "...", 0);
    Post([this, deliver = Deliverer(), fs, path, name](const IKvCancelToken& AToken) {
        std::string error;
        try {
            TKvFileEntry entry;
            const bool known = fs->Stat(path, entry);
            bool link = false;
            if (known) {
                link = IsLinkItself(*fs, path, AToken);
            } else {
                // A link that leads nowhere: Stat cannot see it, but it can still go.
                try {
                    link = IsLinkItself(*fs, path, AToken);
                } catch (const EKvCancelled&) {
                    throw;
                } catch (const std::exception&) {
                    link = false;
                }
            }
            if (!known && !link)
                throw EKvFsError("The server does not know \"" + name + "\" any more");
            if (link && known && entry.IsDir)
                fs->DeleteDirAt(path);
            else if (link || !entry.IsDir)
                fs->DeleteFileAt(path);
            else
                DeleteTree(*fs, path, AToken);
            Log("delete: " + path);
        } catch (const EKvCancelled&) {
            throw;
        } catch (const std::exception& e) {
            error = ErrorOf(e);
        }
        deliver([this, fs, path, error, name] {
            if (error.empty())
                Status("Deleted " + name, 5);
            else
                Status("Delete failed: " + error, 10);
            FPanel->RefreshLinks();
            // A failed delete of a folder may still have taken some of it.
            if (OnFolderChanged)
                OnFolderChanged(fs, fs->ParentOf(path));
        });
    });
}

// ---- Permissions and owner -----------------------------------------------------------------

void TKvShellActions::Chmod(const TKvTermLink& ALink) {
    auto fs = FPanel->FileSystem();
    if (!dynamic_cast<IKvFileMode*>(fs.get())) {
        Status("This server cannot change permissions", 6);
        return;
    }
    const std::string path = ALink.Path;
    const std::string name = fs->NameOf(path);
    Post([this, deliver = Deliverer(), fs, path, name](const IKvCancelToken&) {
        TModeRead read;
        try {
            read.Ok = dynamic_cast<IKvFileMode&>(*fs).GetMode(path, read.Mode);
        } catch (const EKvCancelled&) {
            throw;
        } catch (const std::exception& e) {
            read.Error = ErrorOf(e);
        }
        deliver([this, fs, path, name, read] {
            if (!read.Ok) {
                Status("Permissions cannot be read" + (read.Error.empty() ? "" : ": " + read.Error),
                       6);
                return;
            }
            // The dialog names the full path it will change.
            const std::string shellPath = ShellPath(path);
            uint32_t mode = read.Mode & 07777;
            const auto alive = FAlive;
            if (!AskPermissions(FOwner, shellPath, mode) || Gone(alive) || !FPanel ||
                mode == (read.Mode & 07777))
                return;
            const uint32_t oldMode = read.Mode;
            Post([this, deliver = Deliverer(), fs, path, name, shellPath, oldMode,
                  mode](const IKvCancelToken&) {
                auto& modes = dynamic_cast<IKvFileMode&>(*fs);
                std::string error;
                uint32_t current = 0;
                auto verified = [&] {
                    return modes.GetMode(path, current) && (current & 07777) == mode;
                };
                try {
                    Log("chmod: " + path + " from " + ModeOctal(oldMode) + " to " +
                        ModeOctal(mode));
                    modes.SetMode(path, mode);
                    Log("chmod: the setstat request was accepted");
                    if (!verified()) {
                        if (auto* exec = dynamic_cast<IKvRemoteExec*>(fs.get())) {
                            std::string output;
                            const int code = exec->Exec(ChmodCommand(mode, shellPath), output);
                            if (!verified())
                                error = "the server still reports " + ModeOctal(current) + " (" +
                                        Trimmed(output) + ", exit " + std::to_string(code) + ")";
                        } else if (!verified()) {
                            error = "the server still reports " + ModeOctal(current);
                        }
                    }
                } catch (const EKvCancelled&) {
                    throw;
                } catch (const std::exception& e) {
                    error = ErrorOf(e);
                }
                Log("chmod: result [" + error + "]; the file has " + ModeOctal(current) + " now");
                deliver([this, error, name] {
                    if (error.empty())
                        Status("Permissions of " + name + " changed", 4);
                    else
                        Status("chmod failed: " + error, 8);
                });
            });
        });
    });
}

void TKvShellActions::Chown(const TKvTermLink& ALink) {
    auto fs = FPanel->FileSystem();
    if (!dynamic_cast<IKvRemoteExec*>(fs.get())) {
        Status("This server cannot change the owner", 6);
        return;
    }
    const std::string path = ALink.Path;
    const std::string name = fs->NameOf(path);
    const std::string shellPath = ShellPath(path);
    const bool isDir = ALink.IsDir;
    Post([this, deliver = Deliverer(), fs, path, name, shellPath, isDir](const IKvCancelToken&) {
        std::string owner, group;
        try {
            std::string output;
            const int code =
                dynamic_cast<IKvRemoteExec&>(*fs).Exec(OwnerQueryCommand(shellPath), output);
            ParseOwnerAnswer(code, output, owner, group);
        } catch (const EKvCancelled&) {
            throw;
        } catch (const std::exception&) {
            owner.clear();
            group.clear();
        }
        deliver([this, fs, name, shellPath, isDir, owner, group] {
            std::string newOwner = owner, newGroup = group;
            bool include = false;
            const auto alive = FAlive;
            if (!AskOwner(FOwner, shellPath, isDir, include, newGroup, newOwner) || Gone(alive) ||
                !FPanel)
                return;
            if ((newOwner == owner && newGroup == group) || (newOwner.empty() && newGroup.empty()))
                return;
            const std::string spec = OwnerSpec(newOwner, newGroup);
            const std::string command = ChownCommand(spec, include, shellPath);
            Post([this, deliver = Deliverer(), fs, name, spec, command](const IKvCancelToken&) {
                std::string error;
                try {
                    std::string output;
                    const int code = dynamic_cast<IKvRemoteExec&>(*fs).Exec(command, output);
                    error = ChownError(code, output);
                } catch (const EKvCancelled&) {
                    throw;
                } catch (const std::exception& e) {
                    error = ErrorOf(e);
                }
                Log("chown: [" + command + "] result [" + error + "]");
                deliver([this, error, name, spec] {
                    if (error.empty())
                        Status("Owner of " + name + " changed to " + spec, 4);
                    else
                        Status("chown failed: " + error, 10);
                });
            });
        });
    });
}

// ---- Commands on selected text -------------------------------------------------------------

void TKvShellActions::TransferSelected(bool AMove) {
    auto fs = FilesOrRefuse();
    if (!fs)
        return;
    const std::string folder = FolderOrRefuse();
    if (folder.empty())
        return;
    const std::vector<TKvLineNames> lines = LineNames(FPanel->Terminal()->SelectionText());
    if (lines.empty()) {
        Status(
            "Select the names of files in the terminal first (drag over them), then press F5 or F6",
            8);
        return;
    }
    Status("Looking for the files...", 0);
    Post([this, deliver = Deliverer(), fs, folder, lines, AMove](const IKvCancelToken& AToken) {
        std::vector<std::pair<std::string, TKvFileEntries>> groups;
        std::set<std::string> taken;
        int missing = 0;
        auto take = [&](const std::string& AName) {
            const std::string path = fs->Normalize(fs->Resolve(folder, AName));
            TKvFileEntry entry;
            try {
                if (!fs->Stat(path, entry))
                    return false;
            } catch (const EKvCancelled&) {
                throw;
            } catch (const std::exception&) {
                return false;
            }
            if (!taken.insert(path).second)
                return true;
            entry.Name = fs->NameOf(path);
            const std::string parent = fs->ParentOf(path);
            auto group = std::find_if(groups.begin(), groups.end(),
                                      [&](const auto& AGroup) { return AGroup.first == parent; });
            if (group == groups.end())
                group = groups.insert(groups.end(), {parent, {}});
            group->second.push_back(entry);
            return true;
        };
        for (const auto& line : lines) {
            CheckCancelled(AToken);
            if (!line.Whole.empty() && take(line.Whole))
                continue;
            for (const auto& part : line.Parts) {
                CheckCancelled(AToken);
                if (!take(part))
                    ++missing;
            }
            if (line.Parts.empty())
                ++missing;
        }
        deliver([this, fs, groups, missing, AMove] {
            if (groups.empty()) {
                Status("None of the selected text names a file or folder here", 8);
                return;
            }
            Status("", 0);
            for (const auto& [parent, items] : groups)
                if (OnTransfer)
                    OnTransfer(AMove, fs, parent, items);
            if (missing > 0)
                Status(std::to_string(missing) +
                           " of the selected words are not files here, and were left out",
                       8);
        });
    });
}

void TKvShellActions::RenameSelected() {
    auto fs = FilesOrRefuse();
    if (!fs)
        return;
    const std::string text = Trimmed(FPanel->Terminal()->SelectionText());
    TKvCleanName clean;
    if (text.empty() || text.find_first_of("\r\n") != std::string::npos ||
        !CleanToken(text, clean)) {
        Status("Select the name of a file or folder in the terminal first (drag over it), then "
               "press Shift+F6",
               8);
        return;
    }
    const std::string folder = FolderOrRefuse();
    if (folder.empty())
        return;
    const std::string name = clean.Name;
    const std::string path = fs->Resolve(folder, name);
    Status("Looking for " + name + "...", 0);
    Post([this, deliver = Deliverer(), fs, path, name, folder](const IKvCancelToken&) {
        TKvFileEntry entry;
        bool found = false;
        try {
            found = fs->Stat(path, entry);
        } catch (const EKvCancelled&) {
            throw;
        } catch (const std::exception&) {
            found = false;
        }
        deliver([this, path, name, folder, found, entry] {
            if (!found) {
                Status("There is no file or folder called \"" + name + "\" in " + ShellPath(folder),
                       8);
                return;
            }
            Status("", 0);
            FLink = {name, path, entry.IsDir, entry.Size};
            if (FPanel->FileSystem())
                Rename(FLink);
        });
    });
}

void TKvShellActions::EditNewFile() {
    auto fs = FilesOrRefuse();
    if (!fs)
        return;
    const std::string folder = FolderOrRefuse();
    if (folder.empty())
        return;
    QString shown = QString::fromStdString(ShellPath(folder));
    shown.replace("&", "&&");
    std::string answer;
    const auto alive = FAlive;
    if (!AskLine(FOwner, "Edit new file", "File name, in " + shown.toStdString() + ":", "",
                 answer) ||
        Gone(alive) || !FPanel)
        return;
    const std::string name = Trimmed(answer);
    if (name.empty())
        return;
    const std::string path = fs->Normalize(fs->Resolve(folder, name));
    FEdits.NewFile(fs, path, [this, alive, fs, folder = fs->ParentOf(path)] {
        if (alive->IsCancelled() || !FPanel)
            return;
        FPanel->RefreshLinks();
        if (OnFolderChanged)
            OnFolderChanged(fs, folder);
    });
}

} // namespace kv
