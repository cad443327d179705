// A decorator over the local disk for the tool tests: it can fail chosen listings and reads,
// refuse to seek, and pretend to be read-only like an archive. Everything else is the real disk.
#pragma once

#include <atomic>
#include <set>
#include <string>

#include "Kv.FS.Local.h"

namespace kv::test {

class TFaultFs final : public IKvFileSystem {
public:
    std::set<std::string> FailList; // paths whose List fails
    std::set<std::string> FailOpen; // paths whose OpenRead fails
    bool PretendArchive = false;    // read-only with no display prefix
    bool NoSeek = false;            // streams refuse Seek, as an archive entry would
    std::atomic<int> Opens{0};

    std::string Id() const override { return "fault"; }
    bool ReadOnly() const override { return PretendArchive; }
    std::string DisplayPrefix() const override { return {}; }
    std::string Normalize(const std::string& P) const override { return FLocal.Normalize(P); }
    std::string Resolve(const std::string& B, const std::string& I) const override {
        return FLocal.Resolve(B, I);
    }
    std::string Join(const std::string& D, const std::string& N) const override {
        return FLocal.Join(D, N);
    }
    std::string ParentOf(const std::string& P) const override { return FLocal.ParentOf(P); }
    std::string NameOf(const std::string& P) const override { return FLocal.NameOf(P); }
    bool IsRoot(const std::string& P) const override { return FLocal.IsRoot(P); }
    bool SamePath(const std::string& A, const std::string& B) const override {
        return FLocal.SamePath(A, B);
    }
    TKvFileEntries List(const std::string& P, const IKvCancelToken& T) override {
        if (FailList.count(P))
            throw EKvFsError(P + ": listing refused");
        return FLocal.List(P, T);
    }
    bool Stat(const std::string& P, TKvFileEntry& E) override { return FLocal.Stat(P, E); }
    TKvStreamPtr OpenRead(const std::string& P) override {
        ++Opens;
        if (FailOpen.count(P))
            throw EKvFsError(P + ": read refused");
        auto inner = FLocal.OpenRead(P);
        if (!NoSeek)
            return inner;
        return std::make_unique<TNoSeek>(std::move(inner));
    }
    TKvStreamPtr OpenWrite(const std::string& P) override { return FLocal.OpenWrite(P); }
    void MakeDir(const std::string& P) override { FLocal.MakeDir(P); }
    void DeleteFileAt(const std::string& P) override { FLocal.DeleteFileAt(P); }
    void DeleteDirAt(const std::string& P) override { FLocal.DeleteDirAt(P); }
    void RenamePath(const std::string& O, const std::string& N, bool W) override {
        FLocal.RenamePath(O, N, W);
    }
    void SetModified(const std::string& P, TKvDateTime W) override { FLocal.SetModified(P, W); }
    bool CanRenameDirect(const std::string& O, const std::string& N) override {
        return FLocal.CanRenameDirect(O, N);
    }
    bool CanRecycle(const std::string&) override { return false; }
    void Recycle(const std::string& P) override { throw EKvFsError(P + ": no Trash here"); }
    int64_t FreeSpace(const std::string&) override { return -1; }

private:
    class TNoSeek final : public TKvStream {
    public:
        explicit TNoSeek(TKvStreamPtr AInner) : FInner(std::move(AInner)) {}
        int64_t Read(void* B, int64_t C) override { return FInner->Read(B, C); }
        int64_t Write(const void* B, int64_t C) override { return FInner->Write(B, C); }
        int64_t Seek(int64_t O, TKvSeekOrigin W) override {
            if (W == soCurrent && O == 0)
                return FInner->Seek(0, soCurrent);
            throw EKvFsError("this stream cannot seek");
        }
        int64_t Size() override { return FInner->Size(); }

    private:
        TKvStreamPtr FInner;
    };

    TKvLocalFileSystem FLocal;
};

} // namespace kv::test
