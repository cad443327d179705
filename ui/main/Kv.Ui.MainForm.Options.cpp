// The main window's Options command.
#include "Kv.Log.h"
#include "Kv.Platform.Launch.h"
#include "Kv.Settings.h"
#include "Kv.Ui.FilePanel.h"
#include "Kv.Ui.MainForm.h"
#include "Kv.Ui.OptionsForm.h"

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
    if (showLog) {
        std::string problem = OpenDocument(LogPath(), std::string(), {});
        if (!problem.empty())
            ShowRefusal(problem);
    }
}

} // namespace kv
