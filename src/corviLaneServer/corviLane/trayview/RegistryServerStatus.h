#pragma once

#include "FrontendPorts.h"

// The status menu's view of the server in this process, read through the
// thread registry. Every entry may be null (before start, after stop, or
// without USB): it then counts as nothing.
class RegistryServerStatus : public ServerStatus {
public:
    std::uint64_t nowSeconds() const override;
    std::uint64_t scriptLastPong() const override;
    void setScriptAvailable(bool available) override;
    std::size_t usbSessionCount() const override;
    std::size_t wifiSessionCount() const override;
    std::size_t connectedSessionCount() const override;
    bool studioMode() const override;
    void setStudioMode(bool on) override;

private:
    // Sessions of the USB device watcher, confirmed ones or all.
    static std::size_t usbSessions(bool connectedOnly);
};
