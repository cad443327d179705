// The search windows' rules without widgets: the query dialog's reading of its fields, the
// results window's run on its own worker with hits arriving in batches, its status line, its
// columns and the go-to of a chosen hit.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Kv.FileSystem.h"
#include "Kv.Search.h"
#include "Kv.Worker.h"

namespace kv {

// (file system, path, is a folder): the main window shows the hit where the search started.
using TKvSearchGoTo = std::function<void(IKvFileSystemPtr, const std::string&, bool)>;

// The request as the query dialog's fields give it: masks trimmed ("*" when empty), the text
// as typed, the levels as a number (0 when not one, never below 0).
TKvSearchSpec SearchSpecFromFields(const std::string& AMasks, const std::string& AText,
                                   bool AMatchCase, bool ASubfolders, const std::string& ALevels);

// The results list's columns for a client width: where Folder and Size start.
struct TKvHitColumns {
    int Folder = 0;
    int Size = 0;
};
TKvHitColumns HitColumns(int AWidth, int ASizeWidth, int AMinFolder);
// "<DIR>" for a folder, else the size with thousands separators.
std::string HitSizeText(const TKvSearchHit& AHit);

class TKvSearchModel {
public:
    TKvSearchModel(IKvFileSystemPtr AFs, std::string ARoot, std::string AWhere,
                   TKvSearchSpec ASpec, TKvSearchGoTo AGoTo);
    ~TKvSearchModel();
    TKvSearchModel(const TKvSearchModel&) = delete;
    TKvSearchModel& operator=(const TKvSearchModel&) = delete;

    // After hits arrived or the state changed.
    std::function<void()> OnChanged;

    void Start();
    bool Running() const { return FRunning; }
    // Esc: stops a running search (false), else true: the window closes.
    bool Escape();

    const std::vector<TKvSearchHit>& Hits() const { return FHits; }
    int Selected() const { return FSelected; }
    void Select(int ARow);
    // Enter or a double click: the go-to callback with the selected hit.
    void GoToSelected();
    // F3: the selected file, when it is one.
    bool SelectedFile(TKvSearchHit& AHit) const;

    std::string StatusText() const;
    std::string Title() const { return "Search - " + FWhere; }
    const std::string& Note() const { return FNote; }
    IKvFileSystemPtr FileSystem() const { return FFs; }

private:
    void HitsArrived(std::vector<TKvSearchHit> AHits, int AFolders, const std::string& ACurrent,
                     int AFiles);
    void Ended(const std::string& AError);
    void Changed();

    IKvFileSystemPtr FFs;
    std::string FRoot;
    std::string FWhere;
    TKvSearchSpec FSpec;
    TKvSearchGoTo FGoTo;
    std::unique_ptr<TKvWorker> FWorker;
    IKvCancelTokenPtr FAlive;
    IKvCancelTokenPtr FToken;
    std::vector<TKvSearchHit> FHits;
    bool FRunning = false;
    int FFolders = 0;
    int FFiles = 0;
    std::string FNote;
    int FSelected = -1;
};

} // namespace kv
