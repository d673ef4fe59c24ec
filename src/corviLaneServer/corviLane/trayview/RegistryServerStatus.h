#pragma once

#include "FrontendPorts.h"

#include <string>

// The status menu's view of the server in this process, from the relay's
// counts. While the server is being started or stopped the menu never waits:
// it reads nothing then, and shows nothing.
class RegistryServerStatus : public ServerStatus {
public:
    bool scriptResponding() override;
    std::size_t usbSessionCount() const override;
    std::size_t wifiSessionCount() const override;
    std::size_t connectedSessionCount() const override;
    std::vector<std::string> tabletLines() const override;
    bool studioMode() const override;
    void setStudioMode(bool on) override;

    // Where tablets reach this computer over Wi-Fi, or what stops them.
    std::string reachLine() const;
};
