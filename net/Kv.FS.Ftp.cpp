#include "Kv.FS.Ftp.h"

#include <charconv>
#include <mutex>
#include <vector>
#include <ctime>
#include <type_traits>

#include "Kv.Log.h"
#include "Kv.Text.h"
#include "Kv.Ticker.h"

namespace kv {

namespace {

bool Is2xx(int ACode) {
    return ACode >= 200 && ACode <= 299;
}

bool IsAnonymous(const std::string& AUser) {
    return SameTextAscii(AUser, "anonymous") || SameTextAscii(AUser, "ftp");
}

class TKvFtpReadStream final : public TKvStream {
public:
    TKvFtpReadStream(std::shared_ptr<TKvFtpFileSystem> AKeep, std::unique_ptr<TKvFtpClient> AClient,
                     std::string AName)
        : FKeep(std::move(AKeep)), FClient(std::move(AClient)), FName(std::move(AName)) {}

    // A stream left before its end drops its connection: that also stops the server sending.
    ~TKvFtpReadStream() override = default;

    int64_t Read(void* ABuffer, int64_t ACount) override {
        if (ACount < 1 || FEof)
            return 0;
        auto* buffer = static_cast<char*>(ABuffer);
        int64_t done = 0;
        while (done < ACount && !FEof) {
            const int piece = static_cast<int>(std::min<int64_t>(ACount - done, 1 << 20));
            int got = 0;
            try {
                got = FClient->DataRead(buffer + done, piece);
            } catch (const EKvCancelled&) {
                throw;
            } catch (const std::exception& error) {
                FKeep->NoteLost(FClient->Broken());
                FClient.reset();
                FEof = true;
                throw EKvFsError(FName + ": " + error.what());
            }
            if (got == 0)
                FinishRead();
            done += got;
            FPos += got;
        }
        return done;
    }

    int64_t Write(const void*, int64_t) override { throw EKvFsError("This stream is read-only"); }

    // A jump starts the transfer again at the place ("REST"), where the server can.
    int64_t Seek(int64_t AOffset, TKvSeekOrigin AOrigin) override {
        const int64_t target = AOrigin == soBegin ? AOffset : AOrigin == soCurrent ? FPos + AOffset : -1;
        if (target == FPos && FClient)
            return FPos;
        if (target < 0)
            throw EKvFsError("A file on an FTP server can only be positioned from its start");
        // A transfer cut short drops its connection: that also stops the server sending.
        FClient.reset();
        FEof = true;
        FClient = FKeep->StartTransfer(FName, false, target);
        FEof = false;
        FPos = target;
        return FPos;
    }

    int64_t Size() override { return -1; }

private:
    // The end of data is only the end of the file when the server says the transfer completed:
    // a cut data connection looks exactly like an end.
    void FinishRead() {
        FEof = true;
        std::string text;
        const int code = FClient->FinishTransfer(text);
        if (Is2xx(code) && !FClient->Broken()) {
            FKeep->ReleaseClient(std::move(FClient));
            return;
        }
        FKeep->NoteLost(!code || FClient->Broken());
        FClient.reset();
        throw EKvFsError(FName + ": the transfer did not complete: " +
                         (code ? ReplyMessage(text) : std::string("no answer")));
    }

    std::shared_ptr<TKvFtpFileSystem> FKeep;
    std::unique_ptr<TKvFtpClient> FClient;
    std::string FName;
    int64_t FPos = 0;
    bool FEof = false;
};

class TKvFtpWriteStream final : public TKvFinishableStream {
public:
    // AStart: where the server writes the first byte (a resumed upload).
    TKvFtpWriteStream(std::shared_ptr<TKvFtpFileSystem> AKeep,
                      std::unique_ptr<TKvFtpClient> AClient, std::string AName, int64_t AStart = 0)
        : FKeep(std::move(AKeep)), FClient(std::move(AClient)), FName(std::move(AName)),
          FPos(AStart) {}

    // Without Finish the connection is dropped; the server keeps a partial file.
    ~TKvFtpWriteStream() override {
        if (FClient)
            FKeep->Wrote(FName, FPos, false);
    }

    int64_t Write(const void* ABuffer, int64_t ACount) override {
        if (!FClient)
            throw EKvFsError(FName + ": the file is already closed");
        try {
            FClient->DataWrite(ABuffer, static_cast<size_t>(ACount));
        } catch (const EKvCancelled&) {
            throw;
        } catch (const std::exception& error) {
            // The server usually says why it stopped taking data (a full disk, a quota).
            std::string text;
            const int code = FClient->FinishTransfer(text);
            FKeep->NoteLost(!code || FClient->Broken());
            FClient.reset();
            FKeep->Wrote(FName, FPos, false);
            throw EKvFsError(FName + ": the transfer did not complete: " +
                             (code ? ReplyMessage(text) : std::string(error.what())));
        }
        FPos += ACount;
        return ACount;
    }

    int64_t Read(void*, int64_t) override { throw EKvFsError("This stream is write-only"); }

    int64_t Seek(int64_t AOffset, TKvSeekOrigin AOrigin) override {
        if (AOffset == 0 && AOrigin == soCurrent)
            return FPos;
        throw EKvFsError("A remote file can only be written from the start to the end");
    }

    int64_t Size() override { return FPos; }

    void Finish() override {
        if (!FClient)
            return;
        std::unique_ptr<TKvFtpClient> client = std::move(FClient);
        std::string text;
        const int code = client->FinishTransfer(text);
        FKeep->NoteLost(!code || client->Broken());
        FKeep->Wrote(FName, FPos, Is2xx(code));
        if (!Is2xx(code))
            throw EKvFsError(FName + ": the server did not accept the file: " +
                             (code ? ReplyMessage(text) : std::string("no answer")));
        FKeep->ReleaseClient(std::move(client));
    }

private:
    std::shared_ptr<TKvFtpFileSystem> FKeep;
    std::unique_ptr<TKvFtpClient> FClient;
    std::string FName;
    int64_t FPos = 0;
};

} // namespace

TKvFtpFileSystem::TKvFtpFileSystem(TKvConnector AConn, std::string APassword, IKvConnectUiPtr AUi,
                                   bool AManualTls, TKvFtpOptions AOptions)
    : FConn(std::move(AConn)), FPassword(std::move(APassword)), FUi(std::move(AUi)),
      FOptions(std::move(AOptions)), FManualTls(AManualTls) {
    FId = std::string(ConnectorKindName(FConn.Kind)) + ":" +
          LowerAscii(FConn.User + "@" + FConn.Host + ":" + std::to_string(FConn.Port));
    FLabel = ConnectorTitle(FConn);
}

TKvFtpFileSystem::~TKvFtpFileSystem() = default;

void TKvFtpFileSystem::AddIdle(std::unique_ptr<TKvFtpClient> AClient) {
    ReleaseClient(std::move(AClient));
}

size_t TKvFtpFileSystem::IdleCount() {
    return FIdle.Count();
}

bool TKvFtpFileSystem::ManualTls() {
    std::lock_guard lock(FLock);
    return FManualTls;
}

std::unique_ptr<TKvFtpClient> TKvFtpFileSystem::NewClient(const IKvCancelToken* AToken) {
    auto client = std::make_unique<TKvFtpClient>(FOptions.Limits, FOptions.KnownHostsFile);
    client->SetToken(AToken);
    bool manual = ManualTls();
    client->Open(FConn, FUi.get(), manual);
    if (manual) {
        std::lock_guard lock(FLock);
        FManualTls = true;
    }
    if (!client->Login(FConn.User, FPassword))
        throw EKvFsError("Login failed: the server did not accept the user name or password.");
    client->Prepare();
    return client;
}

std::unique_ptr<TKvFtpClient> TKvFtpFileSystem::AcquireClient(const IKvCancelToken* AToken) {
    // One the server dropped while it was idle fails the ping and is closed.
    auto client = FIdle.Take([&](TKvFtpClient& AClient) {
        AClient.SetToken(AToken);
        return FtpTickMs() - AClient.LastUsed() < KFtpFreshMs || AClient.Ping();
    });
    return client ? std::move(client) : NewClient(AToken);
}

void TKvFtpFileSystem::KeepIdleAlive() {
    const uint64_t now = FtpTickMs();
    for (auto& client : FIdle.TakeAll()) {
        if (now - client->LastUsed() >= FOptions.KeepaliveMs) {
            if (!client->Ping())
                continue; // closed: the next operation opens a new one
            client->SetLastUsed(now);
        }
        FIdle.Give(std::move(client));
    }
}

namespace {

// The process-wide keepalive thread of FTP file systems: once a second it lets each one still
// alive look at its idle connections. Kept until the program ends.
class TFtpKeepalives {
public:
    void Add(const std::shared_ptr<TKvFtpFileSystem>& AFs) {
        {
            std::lock_guard lock(FLock);
            std::erase_if(FSystems, [](const auto& AWeak) { return AWeak.expired(); });
            FSystems.push_back(AFs);
        }
        FTicker.Start();
    }

private:
    void Tick() {
        std::vector<std::weak_ptr<TKvFtpFileSystem>> systems;
        {
            std::lock_guard lock(FLock);
            systems = FSystems;
        }
        for (const auto& weak : systems)
            if (auto fs = weak.lock())
                fs->KeepIdleAlive();
    }

    std::mutex FLock;
    std::vector<std::weak_ptr<TKvFtpFileSystem>> FSystems;
    TKvTicker FTicker{[this] { Tick(); }};
};

TFtpKeepalives& FtpKeepalives() {
    static TFtpKeepalives* keepalives = new TFtpKeepalives();
    return *keepalives;
}

} // namespace

void TKvFtpFileSystem::ReleaseClient(std::unique_ptr<TKvFtpClient> AClient) {
    if (!AClient || AClient->Broken())
        return;
    AClient->SetToken(nullptr);
    AClient->SetLastUsed(FtpTickMs());
    FIdle.Give(std::move(AClient));
}

template <typename TAction>
auto TKvFtpFileSystem::RunWithClient(const std::string& AContext, const IKvCancelToken* AToken,
                                     TAction&& AAction) {
    std::unique_ptr<TKvFtpClient> client = AcquireClient(AToken);
    try {
        auto result = AAction(*client);
        ReleaseClient(std::move(client));
        return result;
    } catch (const EFtpReply& error) {
        ReleaseClient(std::move(client));
        throw EKvFsError(AContext + ": " + error.what());
    }
}

std::string TKvFtpFileSystem::Normalize(const std::string& APath) const {
    const auto parts = SplitFtpPath(APath);
    return JoinServerPath(parts, parts.size());
}

std::string TKvFtpFileSystem::Resolve(const std::string& ABaseDir,
                                      const std::string& AInput) const {
    if (!AInput.empty() && AInput[0] == '/')
        return Normalize(AInput);
    return Normalize(ABaseDir + "/" + AInput);
}

std::string TKvFtpFileSystem::Join(const std::string& ADir, const std::string& AName) const {
    if (!ADir.empty() && ADir.back() == '/')
        return ADir + AName;
    return ADir + "/" + AName;
}

std::string TKvFtpFileSystem::ParentOf(const std::string& APath) const {
    const auto parts = SplitFtpPath(APath);
    return parts.empty() ? std::string() : JoinServerPath(parts, parts.size() - 1);
}

std::string TKvFtpFileSystem::NameOf(const std::string& APath) const {
    const auto parts = SplitFtpPath(APath);
    return parts.empty() ? std::string() : parts.back();
}

bool TKvFtpFileSystem::IsRoot(const std::string& APath) const {
    return SplitFtpPath(APath).empty();
}

bool TKvFtpFileSystem::SamePath(const std::string& A, const std::string& B) const {
    return Normalize(A) == Normalize(B);
}

TKvFileEntries TKvFtpFileSystem::ListWith(TKvFtpClient& AClient, const std::string& APath,
                                          const IKvCancelToken* AToken) {
    const std::string path = Normalize(APath);
    const uint64_t generation = FListings.Generation();
    std::vector<std::string> lines;
    std::string message;
    bool mlsd = AClient.HasMlst();
    int code = 0;
    if (mlsd) {
        code = AClient.RunListCommand("MLSD " + path, lines, message);
        // Refused as a command: this listing falls back to LIST, the next tries MLSD again.
        if (code == 500 || code == 501 || code == 502 || code == 504)
            mlsd = false;
    }
    if (!mlsd && !AClient.NoListAll()) {
        // Servers that list like "ls" (vsftpd) leave out names starting with a dot unless
        // asked: a folder copied from them would lose its hidden files.
        code = AClient.RunListCommand("LIST -a " + path, lines, message);
        if (code >= 500) {
            lines.clear();
            code = AClient.RunListCommand("LIST " + path, lines, message);
            if (code == 0)
                AClient.SetNoListAll();
        }
    } else if (!mlsd) {
        code = AClient.RunListCommand("LIST " + path, lines, message);
    }
    if (code != 0)
        throw EFtpReply(code, ReplyMessage(message));
    TKvFileEntries entries;
    int leftOut = 0;
    for (const auto& line : lines) {
        TKvFileEntry entry;
        std::string target;
        if (!(mlsd ? ParseMlsdLine(line, entry, target) : ParseListLine(line, entry, target)))
            continue;
        if (entry.Name == "." || entry.Name == "..")
            continue;
        // A name that is not one path component would leave the folder a download writes into,
        // or aim a delete at another file on the server.
        if (IsUnsafeListedName(entry.Name)) {
            Log("ftp: left out the listed name [" + ShownName(entry.Name) + "] in " + path +
                ": it cannot be a file name");
            ++leftOut;
            continue;
        }
        if (entry.IsLink) {
            entry.LinkTarget = std::move(target);
            if (!entry.IsDir && AClient.TryCwd(Join(path, entry.Name)))
                entry.IsDir = true;
        }
        entries.push_back(std::move(entry));
        if (AToken && entries.size() % 256 == 0)
            CheckCancelled(*AToken);
    }
    FLeftOut.Record(path, leftOut);
    FListings.Store(path, entries, generation);
    return entries;
}

TKvFileEntries TKvFtpFileSystem::List(const std::string& APath, const IKvCancelToken& AToken) {
    return RunWithClient(APath, &AToken,
                         [&](TKvFtpClient& AClient) { return ListWith(AClient, APath, &AToken); });
}

bool TKvFtpFileSystem::AskEntry(TKvFtpClient& AClient, const std::string& APath,
                                TKvFileEntry& AEntry) {
    std::string text;
    if (AClient.HasMlst()) {
        if (AClient.Command("MLST " + APath, text) != 250)
            return false;
        for (const auto& line : SplitListing(text)) {
            TKvFileEntry entry;
            std::string target;
            if (line.empty() || line[0] != ' ' || !ParseMlsdLine(line, entry, target))
                continue;
            if (entry.IsLink)
                entry.LinkTarget = std::move(target);
            AEntry = std::move(entry);
            return true;
        }
        return false;
    }
    if (!AClient.HasSize() || AClient.Command("SIZE " + APath, text) != 213)
        return false;
    TKvFileEntry entry;
    const std::string size = ReplyMessage(text);
    const auto parsed = std::from_chars(size.data(), size.data() + size.size(), entry.Size);
    if (parsed.ec != std::errc() || entry.Size < 0)
        return false;
    if (AClient.HasMdtm() && AClient.Command("MDTM " + APath, text) == 213)
        ParseFtpStamp(ReplyMessage(text), entry.Modified);
    AEntry = std::move(entry);
    return true;
}

bool TKvFtpFileSystem::Stat(const std::string& APath, TKvFileEntry& AEntry) {
    const std::string path = Normalize(APath);
    if (IsRoot(path)) {
        AEntry = TKvFileEntry{};
        AEntry.IsDir = true;
        return true;
    }
    const std::string name = NameOf(path);
    const std::string parent = ParentOf(path);
    // A young listing of the folder answers "absent" and "a folder"; a file's size and time are
    // asked fresh. A copy of many files asks about names that are not there yet, so the folder
    // is listed once, not once per file.
    TKvFileEntry kept;
    const auto known = FListings.Find(parent, name, kept);
    if (known == TKvFtpListings::lkAbsent)
        return false;
    if (known == TKvFtpListings::lkFound && kept.IsDir) {
        AEntry = std::move(kept);
        return true;
    }
    // Only "listed without the name" means absent: any other failure is an error, or a copy
    // would overwrite what it could not see.
    enum TAnswer { anFound, anAbsent, anParentRefused };
    std::string refusal;
    const TAnswer answer = RunWithClient(APath, nullptr, [&](TKvFtpClient& AClient) {
        // Without MLST, a size is asked only of what a listing showed as a file: some servers
        // give folders a size too.
        TKvFileEntry entry;
        if ((AClient.HasMlst() || known == TKvFtpListings::lkFound) &&
            AskEntry(AClient, path, entry)) {
            if (!AClient.HasMlst()) {
                entry.IsLink = kept.IsLink;
                entry.LinkTarget = kept.LinkTarget;
                entry.IsReadOnly = kept.IsReadOnly;
                entry.Mode = kept.Mode;
            }
            entry.Name = name;
            entry.IsHidden = name[0] == '.';
            AEntry = std::move(entry);
            return anFound;
        }
        TKvFileEntries entries;
        try {
            entries = ListWith(AClient, parent, nullptr);
        } catch (const EFtpReply& error) {
            refusal = error.what();
            return anParentRefused;
        }
        for (auto& listed : entries) {
            if (listed.Name == name) {
                AEntry = std::move(listed);
                return anFound;
            }
        }
        return anAbsent;
    });
    if (answer != anParentRefused)
        return answer == anFound;
    // A folder that does not exist cannot be listed: then nothing below it exists either.
    TKvFileEntry parentEntry;
    if (!IsRoot(parent) && (!Stat(parent, parentEntry) || !parentEntry.IsDir))
        return false;
    throw EKvFsError(APath + ": " + refusal);
}

void TKvFtpFileSystem::Wrote(const std::string& APath, int64_t ASize, bool AComplete) {
    const std::string path = Normalize(APath);
    if (!AComplete) {
        FListings.ForgetFolder(ParentOf(path));
        return;
    }
    TKvFileEntry entry;
    entry.Name = NameOf(path);
    entry.Size = ASize;
    entry.Modified = NowDateTime();
    entry.IsHidden = !entry.Name.empty() && entry.Name[0] == '.';
    FListings.Put(ParentOf(path), entry);
}

std::unique_ptr<TKvFtpClient> TKvFtpFileSystem::StartTransfer(const std::string& APath,
                                                              bool AWrite, int64_t AOffset) {
    std::unique_ptr<TKvFtpClient> client = AcquireClient(nullptr);
    try {
        client->BeginTransfer(AWrite ? "STOR" : "RETR", Normalize(APath), AOffset);
    } catch (const EFtpReply& error) {
        ReleaseClient(std::move(client));
        throw EKvFsError(APath + ": " + error.what());
    }
    NoteLost(false);
    return client;
}

TKvStreamPtr TKvFtpFileSystem::OpenTransfer(const std::string& APath, bool AWrite,
                                            int64_t AOffset) {
    std::unique_ptr<TKvFtpClient> client = StartTransfer(APath, AWrite, AOffset);
    if (AWrite)
        return std::make_unique<TKvFtpWriteStream>(shared_from_this(), std::move(client), APath,
                                                   AOffset);
    return std::make_unique<TKvFtpReadStream>(shared_from_this(), std::move(client), APath);
}

TKvStreamPtr TKvFtpFileSystem::OpenWriteAt(const std::string& APath, int64_t AOffset) {
    return OpenTransfer(APath, true, AOffset);
}

TKvStreamPtr TKvFtpFileSystem::OpenRead(const std::string& APath) {
    return OpenTransfer(APath, false);
}

TKvStreamPtr TKvFtpFileSystem::OpenWrite(const std::string& APath) {
    return OpenTransfer(APath, true);
}

void TKvFtpFileSystem::MakeDir(const std::string& APath) {
    const std::string path = Normalize(APath);
    if (IsRoot(path))
        return;
    TKvFileEntry entry;
    if (Stat(path, entry)) {
        if (!entry.IsDir)
            throw EKvFsError(path + ": a file with this name exists");
        return;
    }
    const std::string parent = ParentOf(path);
    if (!IsRoot(parent))
        MakeDir(parent);
    try {
        RunWithClient(path, nullptr, [&](TKvFtpClient& AClient) {
            std::string text;
            const int code = AClient.Command("MKD " + path, text);
            if (!Is2xx(code))
                throw EFtpReply(code, ReplyMessage(text));
            return true;
        });
        FListings.Made(parent, NameOf(path));
    } catch (const EKvFsError&) {
        // Another connection may have made it meanwhile.
        FListings.ForgetFolder(parent);
        if (Stat(path, entry) && entry.IsDir)
            return;
        throw;
    }
}

void TKvFtpFileSystem::DeleteFileAt(const std::string& APath) {
    const std::string path = Normalize(APath);
    try {
        RunWithClient(APath, nullptr, [&](TKvFtpClient& AClient) {
            std::string text;
            const int code = AClient.Command("DELE " + path, text);
            if (!Is2xx(code))
                throw EFtpReply(code, ReplyMessage(text));
            return true;
        });
    } catch (...) {
        FListings.ForgetFolder(ParentOf(path));
        throw;
    }
    FListings.Remove(ParentOf(path), NameOf(path));
}

void TKvFtpFileSystem::DeleteDirAt(const std::string& APath) {
    const std::string path = Normalize(APath);
    // Whatever happened, what was below is no longer as it was listed.
    FListings.ForgetTree(path);
    try {
        DeleteDirWith(APath, path);
    } catch (...) {
        FListings.ForgetFolder(ParentOf(path));
        throw;
    }
    FListings.Remove(ParentOf(path), NameOf(path));
}

void TKvFtpFileSystem::DeleteDirWith(const std::string& AContext, const std::string& APath) {
    RunWithClient(AContext, nullptr, [&](TKvFtpClient& AClient) {
        std::string text;
        const int code = AClient.Command("RMD " + APath, text);
        if (Is2xx(code))
            return true;
        // A link to a folder is removed as a file.
        if (code >= 500) {
            std::string deleteText;
            if (Is2xx(AClient.Command("DELE " + APath, deleteText)))
                return true;
            text = deleteText;
        }
        throw EFtpReply(code, ReplyMessage(text));
    });
}

bool TKvFtpFileSystem::DoRename(const std::string& AOld, const std::string& ANew,
                                std::string& AReason) {
    bool renamed = false;
    try {
        renamed = RunWithClient(AOld, nullptr, [&](TKvFtpClient& AClient) {
            return AClient.Rename(AOld, ANew, AReason);
        });
    } catch (...) {
        FListings.ForgetFolder(ParentOf(AOld));
        FListings.ForgetFolder(ParentOf(ANew));
        throw;
    }
    if (renamed) {
        FListings.Renamed(ParentOf(AOld), NameOf(AOld), ParentOf(ANew), NameOf(ANew), AOld, ANew);
    } else {
        // Refused: maybe because the listings here are out of date.
        FListings.ForgetFolder(ParentOf(AOld));
        FListings.ForgetFolder(ParentOf(ANew));
    }
    return renamed;
}

void TKvFtpFileSystem::RenamePath(const std::string& AOld, const std::string& ANew,
                                  bool AOverwrite) {
    const std::string oldPath = Normalize(AOld);
    const std::string newPath = Normalize(ANew);
    TKvFileEntry existing;
    // Some servers (vsftpd) replace an existing target without being asked.
    if (!AOverwrite && oldPath != newPath && Stat(newPath, existing))
        throw EKvFsError(ANew + ": it already exists");
    std::string reason;
    if (DoRename(oldPath, newPath, reason))
        return;
    if (!AOverwrite || !Stat(newPath, existing))
        throw EKvFsError(AOld + ": " + reason);
    const std::string aside = newPath + ".kvold-" + NewConnectorId().substr(1, 8);
    std::string asideReason;
    if (!DoRename(newPath, aside, asideReason))
        throw EKvFsError(ANew + ": the old file could not be replaced: " + asideReason);
    bool replaced = false;
    try {
        replaced = DoRename(oldPath, newPath, reason);
    } catch (const EKvCancelled&) {
        throw;
    } catch (const EKvFsError& error) {
        reason = error.what(); // a lost connection: the old file is aside all the same
    }
    if (replaced) {
        try {
            if (existing.IsDir && !existing.IsLink)
                DeleteDirAt(aside);
            else
                DeleteFileAt(aside);
        } catch (const EKvFsError& error) {
            Log(std::string("ftp: ") + error.what());
        }
        return;
    }
    std::string backReason;
    bool putBack = false;
    try {
        putBack = DoRename(aside, newPath, backReason);
    } catch (const EKvCancelled&) {
        throw;
    } catch (const std::exception&) {
    }
    // The user's file survives only under the made-up name then: say where it is.
    if (!putBack)
        throw EKvFsError(ANew + ": could not be replaced: " + reason +
                         ". The old file could not be put back and is now " + aside);
    throw EKvFsError(AOld + ": " + reason);
}

void TKvFtpFileSystem::SetModified(const std::string& APath, TKvDateTime AWhen) {
    int64_t seconds = 0, nanoseconds = 0;
    if (AWhen == 0 || !UnixFromDateTime(AWhen, seconds, nanoseconds))
        return;
    const std::time_t when = static_cast<std::time_t>(seconds);
    std::tm utc{};
    if (!::gmtime_r(&when, &utc))
        return;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    const std::string path = Normalize(APath);
    try {
        const bool set = RunWithClient(APath, nullptr, [&](TKvFtpClient& AClient) {
            std::string text;
            if (AClient.HasMfmt())
                return Is2xx(AClient.Command(std::string("MFMT ") + stamp + " " + path, text));
            // vsftpd sets the time with MDTM and two arguments; a server without that form reads
            // them as a file name and refuses, and is not asked again.
            if (!AClient.HasMdtm() || FMdtmWrite < 0)
                return false;
            const bool done =
                Is2xx(AClient.Command(std::string("MDTM ") + stamp + " " + path, text));
            int untried = 0;
            FMdtmWrite.compare_exchange_strong(untried, done ? 1 : -1);
            return done;
        });
        TKvFileEntry entry;
        if (set && FListings.Find(ParentOf(path), NameOf(path), entry) == TKvFtpListings::lkFound) {
            entry.Modified = DateTimeFromUnix(seconds);
            FListings.Put(ParentOf(path), entry);
        }
    } catch (const EFtpLost&) {
        throw;
    } catch (const EKvCancelled&) {
        throw;
    } catch (const EKvFsError&) {
    }
}

void TKvFtpFileSystem::Recycle(const std::string&) {
    throw EKvFsError("A server has no Trash");
}

TKvFtpOpened OpenFtp(const TKvConnector& AConn, IKvConnectUiPtr AUi, const IKvCancelToken& AToken,
                     TKvFtpOptions AOptions) {
    const bool anonymous = IsAnonymous(AConn.User);
    std::string password = AConn.Secret;
    bool asked = false;
    bool manual = false;
    std::unique_ptr<TKvFtpClient> client;
    for (int attempt = 0; attempt < 3 && !client; ++attempt) {
        CheckCancelled(AToken);
        if (anonymous) {
            if (password.empty())
                password = "kolvan@";
        } else if (password.empty() || attempt > 0) {
            const std::string prompt =
                std::string(attempt > 0 ? "The password was not accepted. " : "") +
                "Password for " + AConn.User + "@" + AConn.Host + ":";
            std::string typed;
            if (!AUi ||
                !AUi->AskSecret("Log in to " + ConnectorTitle(AConn), prompt, AToken, typed))
                throw EKvCancelled();
            password = typed;
            asked = true;
        }
        auto candidate = std::make_unique<TKvFtpClient>(AOptions.Limits, AOptions.KnownHostsFile);
        candidate->SetToken(&AToken);
        candidate->Open(AConn, AUi.get(), manual);
        if (candidate->Login(AConn.User, password)) {
            candidate->Prepare();
            client = std::move(candidate);
        } else if (anonymous) {
            break;
        } else {
            password.clear();
        }
    }
    if (!client)
        throw EKvFsError("Login failed: the user name or password was not accepted.");
    TKvFtpOpened opened;
    opened.Fs = std::make_shared<TKvFtpFileSystem>(AConn, password, AUi, manual, AOptions);
    FtpKeepalives().Add(opened.Fs);
    if (asked && !anonymous)
        opened.TypedPassword = password;
    const std::string start(TrimmedView(AConn.StartDir));
    if (!start.empty())
        client->TryCwd(start);
    opened.StartDir = opened.Fs->Normalize(client->CurrentDir());
    opened.Fs->AddIdle(std::move(client));
    return opened;
}

} // namespace kv
