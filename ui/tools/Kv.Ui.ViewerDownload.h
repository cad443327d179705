// "Download whole" of the viewer: a server file fetched into a private temporary copy under a
// modal progress dialog that can be cancelled.
#pragma once

#include <cstdint>
#include <string>

#include "Kv.FileSystem.h"

class QWidget;

namespace kv {

// True with ACopy naming the local copy ("kvarc-view-{GUID}.tmp" in the archive temporary
// folder). Cancelled or failed: false, no copy is left, and a failure has been shown.
bool DownloadForViewing(QWidget* AOwner, IKvFileSystemPtr AFs, const std::string& APath,
                        int64_t ASize, std::string& ACopy);

} // namespace kv
