// The main window's ways of taking files in: Alt+F5 zips the selection into a folder of the
// disk, Ctrl+V pastes the files another program put on the clipboard, and files dropped on a
// panel are copied (or, with Shift, moved) into its folder.
#include <QClipboard>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QMimeData>
#include <QPointer>
#include <QTimer>
#include <algorithm>

#include "Kv.FS.Local.h"
#include "Kv.FileActions.h"
#include "Kv.Log.h"
#include "Kv.Ui.Clipboard.h"
#include "Kv.Ui.FilePanel.h"
#include "Kv.Ui.MainForm.h"
#include "Kv.Ui.ProgressForm.h"
#include "Kv.Ui.Prompts.h"

namespace kv {

namespace {

const char* const KPasteNothing =
    "There are no files on the clipboard. Copy them in a file manager first";
const char* const KPasteSkippedAll =
    "The files on the clipboard are already in this folder, or no longer exist";
const char* const KPasteReadOnly = "This panel shows an archive, which is read-only";
const char* const KCutStillMoving =
    "The files on the clipboard are still being moved from the last paste";

bool SamePaths(std::vector<std::string> A, std::vector<std::string> B) {
    std::sort(A.begin(), A.end());
    std::sort(B.begin(), B.end());
    return A == B;
}

// A panel that can take files: it shows a folder of a file system that can be written.
bool TakesFiles(const TKvFilePanel& APanel) {
    return !APanel.Path().empty() && APanel.FileSystem() && !APanel.FileSystem()->ReadOnly();
}

} // namespace

void TMainForm::ZipSelection() {
    TKvFilePanel& source = *FHalves[FActive].Panel;
    const TKvFilePanel& other = *FHalves[Other(FActive)].Panel;
    const TKvFileEntries items = source.SelectedEntries();
    if (items.empty() || source.Path().empty())
        return;
    if (FHalves[Other(FActive)].Restore) {
        ShowRefusal("The other half is not connected yet. Click it, or press Enter on it, to connect first.");
        return;
    }
    std::string folder;
    if (!FHalves[Other(FActive)].Shell && other.IsPlainLocal() && !other.Path().empty())
        folder = other.Path();
    else if (source.IsPlainLocal())
        folder = source.Path();
    if (folder.empty()) {
        ShowRefusal("Show a folder of a disk in one of the halves, to make the zip file in it");
        return;
    }
    const std::string proposed = ZipProposedName(items, source.FileSystem()->NameOf(source.Path()));
    std::string name, password;
    bool weak = false;
    if (!AskZipOptions(folder, static_cast<int>(items.size()), proposed, name, password, weak))
        return;
    TKvTransferRequest request;
    request.Kind = tkZip;
    request.SourceFs = source.FileSystem();
    request.SourceDir = source.Path();
    request.Items = items;
    request.DestFs = LocalFs();
    request.DestPath = LocalFs()->Resolve(folder, ZipFileName(name));
    request.Password = password;
    request.ZipWeak = weak;
    StartRequest(request);
    source.ClearMarks();
}

void TMainForm::PasteInto(TKvFilePanel& APanel) {
    if (APanel.Path().empty() || !APanel.FileSystem())
        return;
    if (APanel.FileSystem()->ReadOnly()) {
        APanel.ShowResult(KPasteReadOnly, true);
        return;
    }
    std::vector<std::string> paths;
    bool move = false;
    if (!ReadClipboardFiles(paths, move)) {
        APanel.ShowResult(KPasteNothing, true);
        return;
    }
    std::shared_ptr<TKvCutPaste> cut;
    if (move) {
        // The same cut pasted again while its moves run would move what is already on its way.
        for (const auto& running : FCutPastes)
            if (SamePaths(running->Paths, paths)) {
                APanel.ShowResult(KCutStillMoving, true);
                return;
            }
        cut = std::make_shared<TKvCutPaste>();
        cut->Paths = paths;
    }
    PasteFiles(APanel, APanel.FileSystem(), APanel.Path(), move, paths, cut);
}

int TMainForm::PasteFiles(TKvFilePanel& APanel, const IKvFileSystemPtr& ADestFs,
                          const std::string& AFolder, bool AMove,
                          const std::vector<std::string>& APaths,
                          const std::shared_ptr<TKvCutPaste>& ACut) {
    auto local = LocalFs();
    const bool toDisk = ADestFs->Id() == local->Id();
    int skipped = 0;
    const std::vector<TKvPasteGroup> groups =
        GroupPastePaths(APaths, toDisk ? AFolder : std::string(), skipped);
    int started = 0;
    for (const auto& group : groups) {
        TKvTransferRequest request;
        request.Kind = AMove ? tkMove : tkCopy;
        request.SourceFs = local;
        request.SourceDir = group.Folder;
        for (const auto& name : group.Names) {
            TKvFileEntry entry;
            if (local->Stat(local->Join(group.Folder, name), entry))
                request.Items.push_back(entry);
            else
                ++skipped;
        }
        if (request.Items.empty())
            continue;
        request.DestFs = ADestFs;
        // Always "into the folder": a single file must never take the folder's name when the
        // folder was removed meanwhile.
        request.DestPath = AFolder.back() == '/' ? AFolder : AFolder + "/";
        TKvTransferManager::TOnDone done;
        if (ACut) {
            ++ACut->Running;
            done = [this, ACut](const TKvTransferResult& AResult) { CutPasteDone(ACut, AResult); };
        }
        TKvTransferSession& session = FTransfers->Enqueue(request, std::move(done));
        TProgressForm* form = ProgressFormOf(session);
        if (!form)
            form = &NewProgressForm(session, FStrip);
        form->Watch();
        ++started;
    }
    if (ACut && ACut->Running > 0)
        FCutPastes.push_back(ACut);
    if (started == 0 && skipped > 0)
        APanel.ShowResult(KPasteSkippedAll, true);
    return started;
}

void TMainForm::CutPasteDone(const std::shared_ptr<TKvCutPaste>& ACut,
                             const TKvTransferResult& AResult) {
    ACut->Moved += AResult.Succeeded;
    if (--ACut->Running > 0)
        return;
    std::erase(FCutPastes, ACut);
    if (FClosing || ACut->Moved == 0)
        return;
    // Cut files are pasted once: they are gone from where the clipboard says they are. Only
    // the same cut is cleared; anything put on the clipboard since is left alone.
    QClipboard* clipboard = QGuiApplication::clipboard();
    std::vector<std::string> paths;
    bool move = false;
    if (clipboard && FilesFromMimeData(clipboard->mimeData(), paths, move) && move &&
        SamePaths(paths, ACut->Paths)) {
        clipboard->clear();
        Log("paste: the cut files were moved; the clipboard is cleared");
    }
}

TKvFilePanel* TMainForm::DropPanelAt(const QPoint& APos) const {
    for (TKvHalf h : {rhLeft, rhRight}) {
        TKvFilePanel* panel = FHalves[h].Panel;
        if (panel && panel->isVisible() && panel->rect().contains(panel->mapFrom(this, APos)) &&
            TakesFiles(*panel))
            return panel;
    }
    return nullptr;
}

Qt::DropAction TMainForm::DropEffect(const QDropEvent& AEvent, TKvFilePanel** APanel) const {
    TKvFilePanel* panel = FClosing ? nullptr : DropPanelAt(AEvent.position().toPoint());
    if (APanel)
        *APanel = panel;
    if (!panel || !HasFileData(AEvent.mimeData()))
        return Qt::IgnoreAction;
    const Qt::DropActions allowed = AEvent.possibleActions();
    // The source must be able to hear "copy": one told "move" may delete its files as soon as
    // the drop returns, before the move here has read them, and Qt tells a source only an
    // action it offered. So a source that offers nothing but a move is refused.
    if (!(allowed & Qt::CopyAction))
        return Qt::IgnoreAction;
    return (AEvent.modifiers() & Qt::ShiftModifier) && (allowed & Qt::MoveAction) ? Qt::MoveAction
                                                                                  : Qt::CopyAction;
}

void TMainForm::dragEnterEvent(QDragEnterEvent* AEvent) {
    // Entered anywhere: the moves that follow decide, point by point, whether a drop is taken.
    if (FClosing || !HasFileData(AEvent->mimeData())) {
        AEvent->ignore();
        return;
    }
    const Qt::DropAction effect = DropEffect(*AEvent);
    if (effect != Qt::IgnoreAction)
        AEvent->setDropAction(effect);
    AEvent->accept();
}

void TMainForm::dragMoveEvent(QDragMoveEvent* AEvent) {
    const Qt::DropAction effect = DropEffect(*AEvent);
    if (effect == Qt::IgnoreAction) {
        AEvent->ignore();
        return;
    }
    AEvent->setDropAction(effect);
    AEvent->accept();
}

void TMainForm::dropEvent(QDropEvent* AEvent) {
    TKvFilePanel* panel = nullptr;
    const Qt::DropAction effect = DropEffect(*AEvent, &panel);
    std::vector<std::string> paths;
    bool cut = false;
    if (effect == Qt::IgnoreAction || !FilesFromMimeData(AEvent->mimeData(), paths, cut)) {
        AEvent->ignore();
        return;
    }
    const bool move = effect == Qt::MoveAction;
    Log("drop: " + std::to_string(paths.size()) + " file(s), 0 item(s) not on a disk, effect " +
        (move ? "move" : "copy"));
    // The source hears "copy" even for a move: the move is ours, and a source that deleted its
    // files on hearing "move" would take them away before our copy has read them.
    AEvent->setDropAction(Qt::CopyAction);
    AEvent->accept();
    // The folder and file system under the drop point now, but the work after the drag
    // source's drop call returned.
    QPointer<TKvFilePanel> target(panel);
    IKvFileSystemPtr fs = panel->FileSystem();
    std::string folder = panel->Path();
    QTimer::singleShot(0, this, [this, target, fs, folder, move, paths] {
        if (FClosing || !target)
            return;
        try {
            PasteFiles(*target, fs, folder, move, paths);
        } catch (const std::exception& e) {
            Log(std::string("drop: ") + e.what());
        }
    });
}

} // namespace kv
