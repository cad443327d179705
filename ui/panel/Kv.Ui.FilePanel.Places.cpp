// The file panel's places beyond the disk: archives opened from a disk file, server
// connections made or attached, and the way back to the disk.
#include "Kv.Ui.FilePanel.h"

#include "Kv.Archives.h"
#include "Kv.FS.Archive.h"
#include "Kv.FS.Local.h"
#include "Kv.Platform.Folders.h"
#include "Kv.Text.h"
#include "Kv.Ui.PanelPlaces.h"
#include "Kv.Ui.Prompts.h"

namespace kv {

namespace {

// Reasons from the backends usually name the file already.
std::string WithSubject(const std::string& ASubject, const std::string& AReason) {
    if (AReason.compare(0, ASubject.size() + 1, ASubject + ":") == 0)
        return AReason;
    return ASubject + ": " + AReason;
}

} // namespace

void TKvFilePanel::BeginOpenArchive(const std::string& AFile) {
    if (FAlive->IsCancelled())
        return;
    DropRunningListing();
    FQuietList = false;
    const TKvListView view = ListView();
    FConnectingId.clear();
    FPendingConnectorId = FConnectorId;
    ShowBusy("Opening the archive... (Esc to cancel)");

    FListToken = FListWorker->Post([this, AFile, view, alive = FAlive](const IKvCancelToken& AToken) {
        IKvFileSystemPtr fs;
        std::string root, message;
        TKvFileEntries entries;
        try {
            fs = OpenArchive(AFile, AToken);
            root = fs->Normalize("\\");
            entries = fs->List(root, AToken);
            view.Prepare(entries, *fs);
        } catch (const EKvCancelled&) {
            return;
        } catch (const std::exception& e) {
            message = WithSubject(AFile, e.what());
        }
        if (AToken.IsCancelled())
            return;
        KvDeliver(alive, [this, AFile, fs, root, entries = std::move(entries), message,
                          job = &AToken]() mutable {
            if (!FListToken || FListToken.get() != job)
                return;
            if (message.empty())
                if (auto* locked = dynamic_cast<IKvPasswordArchive*>(fs.get()); locked && locked->NeedsPassword()) {
                    const std::string name = LocalFs()->NameOf(AFile);
                    const bool given = AskArchivePassword(*locked, name);
                    // Esc, another place chosen or the window closing meanwhile: nothing lands.
                    if (FAlive->IsCancelled() || !FListToken || FListToken.get() != job)
                        return;
                    if (!given)
                        message = ArchivePasswordRefused(name);
                }
            ApplyListing(message.empty() ? fs : nullptr, AFile, root, std::move(entries), message, "", false, -1);
        });
    });
}

bool TKvFilePanel::AskArchivePassword(IKvPasswordArchive& AArchive, const std::string& AName) {
    for (bool wrong = false;; wrong = true) {
        std::string password;
        if (!InputSecret("Password", ArchivePasswordPrompt(AName, wrong), password))
            return false;
        if (AArchive.TryPassword(password))
            return true;
    }
}

void TKvFilePanel::ConnectTo(const TKvConnector& AConn, const std::string& AStartPath) {
    if (FAlive->IsCancelled())
        return;
    // The same connection asked for twice (two clicks): the first attempt goes on.
    if (FBusy && !FConnectingId.empty() && SameTextAscii(FConnectingId, AConn.Id))
        return;
    DropRunningListing();
    FQuietList = false;
    const TKvListView view = ListView();
    FConnectingId = FPendingConnectorId = AConn.Id;
    const std::string label = ConnectorTitle(AConn);
    ShowBusy("Connecting to " + label + "... (Esc to cancel)");

    FListToken = FListWorker->Post([this, AConn, AStartPath, label, view, prompts = FPrompts,
                                    alive = FAlive](const IKvCancelToken& AToken) {
        IKvFileSystemPtr fs;
        std::string secret, path, message;
        TKvFileEntries entries;
        try {
            std::string start;
            fs = OpenConnection(AConn, prompts, AToken, secret, start);
            CheckCancelled(AToken);
            path = fs->Normalize(start.empty() ? std::string("/") : start);
            bool listed = false;
            if (!AStartPath.empty() && !fs->SamePath(fs->Normalize(AStartPath), path)) {
                // The folder last shown may be gone: the start folder does instead, unasked.
                try {
                    entries = fs->List(fs->Normalize(AStartPath), AToken);
                    path = fs->Normalize(AStartPath);
                    listed = true;
                } catch (const EKvCancelled&) {
                    throw;
                } catch (const std::exception&) {
                }
            }
            if (!listed)
                entries = fs->List(path, AToken);
            view.Prepare(entries, *fs);
        } catch (const EKvCancelled&) {
            return;
        } catch (const std::exception& e) {
            message = label + ": " + e.what();
        }
        if (AToken.IsCancelled())
            return;
        KvDeliver(alive, [this, id = AConn.Id, fs, path, secret, entries = std::move(entries), message,
                          job = &AToken]() mutable {
            if (!FListToken || FListToken.get() != job)
                return;
            ApplyListing(message.empty() ? fs : nullptr, "", path, std::move(entries), message, "", false, -1);
            if (!message.empty())
                return;
            if (!secret.empty() && OnSecretLearned)
                OnSecretLearned(id, secret);
            if (OnConnected)
                OnConnected(id, fs, path);
        });
    });
}

void TKvFilePanel::AttachTo(IKvFileSystemPtr AFs, const std::string& AConnectorId, const std::string& APath) {
    BeginList(std::move(AFs), APath, true, "");
    FPendingConnectorId = AConnectorId;
}

void TKvFilePanel::Disconnect() {
    if (!IsRemote())
        return;
    BeginList(LocalFs(), FLastLocalPath.empty() ? HomeFolder() : FLastLocalPath, true, "");
}

} // namespace kv
