// The interface through which any connection (SSH, FTPS, WebDAV) asks the user while it
// connects: secrets, a host key seen for the first time, a key that changed.
#pragma once

#include <memory>
#include <string>

#include "Kv.Worker.h"

namespace kv {

// Called on a worker thread, which waits until the user answers on the UI thread or AToken is
// cancelled; a cancelled token counts as "cancel". A missing object (nullptr) cancels everything.
class IKvConnectUi {
public:
    virtual ~IKvConnectUi() = default;
    // True when the user gave a value (possibly empty); false when cancelled.
    virtual bool AskSecret(const std::string& ATitle, const std::string& APrompt,
                           const IKvCancelToken& AToken, std::string& AValue) = 0;
    // True to trust a key seen for the first time and connect.
    virtual bool ConfirmNewHostKey(const std::string& AHost, int APort, const std::string& AKeyType,
                                   const std::string& AFingerprint,
                                   const IKvCancelToken& AToken) = 0;
    // Only informs: the connection is refused whatever the user does.
    virtual void
    ReportChangedHostKey(const std::string& AHost, int APort, const std::string& AKeyType,
                         const std::string& ANewFingerprint, const std::string& AOldFingerprint,
                         const std::string& AKnownHostsFile, const IKvCancelToken& AToken) = 0;
};

using IKvConnectUiPtr = std::shared_ptr<IKvConnectUi>;

} // namespace kv
