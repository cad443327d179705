// The main window's Options command.
#include "Kv.FS.Local.h"
#include "Kv.Log.h"
#include "Kv.Settings.h"
#include "Kv.Ui.FilePanel.h"
#include "Kv.Ui.MainForm.h"
#include "Kv.Ui.OptionsForm.h"
#include "Kv.Ui.ViewerForm.h"

namespace kv {

void TMainForm::ShowOptions() {
    TKvSettings settings = CurrentSettings();
    bool showLog = false;
    if (!TOptionsForm::Execute(this, settings, showLog))
        return;
    SetCurrentSettings(settings);
    const bool saved = SaveSettings();
    ApplySettings(settings);
    for (TKvHalf h : {rhLeft, rhRight}) {
        FHalves[h].Panel->ApplyTheme();
        FHalves[h].Panel->Reload();
    }
    RefreshTitles();
    if (!saved)
        ShowRefusal("The settings could not be saved");
    // The built-in viewer, not the desktop's opener: that one can start and then fail where no
    // one hears of it, and the viewer is always there.
    if (showLog) {
        try {
            TKvFileEntry log;
            if (!LocalFs()->Stat(LogPath(), log) || log.IsDir)
                ShowRefusal("The log is empty: nothing has been written to it yet");
            else
                TKvViewerForm::CreateViewer(this, LocalFs(), LogPath(), log.Size);
        } catch (const EKvFsError& e) {
            ShowRefusal(e.what());
        }
    }
}

} // namespace kv
