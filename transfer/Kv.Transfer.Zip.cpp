// The zip routine of a transfer run: packs the chosen items, with everything below them, into
// one new zip file on the disk, written under a ".kvpart" name until it is complete.
#include <functional>

#include "Kv.Log.h"
#include "Kv.Transfer.Engine.h"
#include "Kv.Zip.Writer.h"

namespace kv {

extern template bool TKvRun::Attempt<std::function<void()>&>(const std::string&,
                                                             std::function<void()>&);

void TKvRun::RunZip() {
    if (!FReq.DestFs || FReq.DestFs->Id() != "local") {
        RecordFailure("A zip file can only be made on a disk");
        return;
    }
    auto& source = *FReq.SourceFs;
    auto& dest = *FReq.DestFs;
    FHost->SetPhase(tpScanning, 0, 0);
    std::string zip = dest.Normalize(FReq.DestPath);

    for (const auto& item : FReq.Items) {
        Check();
        std::string from = source.Join(FReq.SourceDir, item.Name);
        if (item.IsDir && item.IsLink) {
            RecordSkip("Directory link not followed: " + from);
            continue;
        }
        // Entry names are relative paths built with the disk's Join; the writer stores them
        // in zip form.
        AddToPlan(item, from, item.Name);
        if (item.IsDir)
            ScanFolder(from, item.Name);
    }

    // An existing zip file is always asked about: a zip is never merged into.
    TKvFileEntry existing;
    if (dest.Stat(zip, existing)) {
        if (existing.IsDir) {
            RecordFailure("A folder already has this name: " + zip);
            return;
        }
        bool applyAll = false;
        TKvPromptAnswer answer =
            FHost->Ask(pkConflict, zip + " already exists.", *FToken, applyAll);
        if (answer == paCancel)
            throw EKvCancelled();
        if (answer == paRename) {
            zip = FreeName(dest, zip);
        } else if (answer != paOverwrite) {
            ++FResult.Skipped;
            return;
        }
    }
    std::string parent = dest.ParentOf(zip);
    if (!parent.empty() && !EnsureFolder(parent))
        return;

    FHost->SetPhase(tpWorking, static_cast<int>(FPlan.size()), FBytesTotal);
    const std::string part = TemporaryName(dest, zip);
    bool created = false;
    try {
        TKvStreamPtr out = dest.OpenWrite(part);
        created = true;
        TKvZipWriter writer(*out, FReq.Password, FReq.ZipWeak);
        for (const auto& item : FPlan) {
            Check();
            FHost->SetCurrent(item.Source, item.Size);
            // Paths of two different file systems say nothing about each other.
            const bool itself = FSameFs && (source.SamePath(item.Source, zip) ||
                                            source.SamePath(item.Source, part) ||
                                            (!item.IsDir && SameFile(item.Source, part)));
            std::string nameProblem;
            try {
                CheckZipEntryName(item.Target, item.IsDir);
            } catch (const EKvFsError& e) {
                nameProblem = e.what();
            }
            if (itself) {
                RecordSkip("Not added to itself: " + item.Source);
            } else if (!nameProblem.empty()) {
                RecordSkip(nameProblem);
            } else if (item.IsDir) {
                writer.AddDirectory(item.Target, item.Modified);
                ++FResult.Succeeded;
            } else {
                TKvStreamPtr in;
                std::function<void()> open = [&] { in = source.OpenRead(item.Source); };
                if (Attempt("Could not read " + item.Source, open)) {
                    int64_t fileBytes = 0;
                    writer.AddFile(item.Target, item.Modified, *in, item.Size, [&](int64_t ABytes) {
                        fileBytes += ABytes;
                        FBytesDone += ABytes;
                        FHost->SetProgress(fileBytes, FBytesDone, FItemsDone);
                        Check();
                    });
                    in.reset();
                    Log("zip: " + item.Source + " -> " + item.Target + " " +
                        std::to_string(fileBytes) + " bytes");
                    ++FResult.Succeeded;
                }
            }
            ++FItemsDone;
            FHost->SetProgress(0, FBytesDone, FItemsDone);
        }
        writer.Finish();
        out.reset(); // closed before it takes the zip file's name
        dest.RenamePath(part, zip, true);
    } catch (...) {
        // A failed or cancelled zip leaves nothing half-written behind, and deletes only
        // the file it made.
        try {
            if (created)
                dest.DeleteFileAt(part);
        } catch (...) {
        }
        throw;
    }
    Log("zip: made " + zip + (FReq.Password.empty() ? "" : " (password protected)"));
}

} // namespace kv
