#pragma once

#include "FrontendPorts.h"

#include <string>

class ServerLinks;

// The status menu's view of the server in this process, through the same
// links the server's own threads use. While the server is being started or
// stopped the menu never waits: it reads nothing then, and shows nothing.
class RegistryServerStatus : public ServerStatus {
public:
    RegistryServerStatus();

    bool scriptResponding() override;
    std::size_t usbSessionCount() const override;
    std::size_t wifiSessionCount() const override;
    std::size_t connectedSessionCount() const override;
    std::vector<std::string> tabletLines() const override;
    bool studioMode() const override;
    void setStudioMode(bool on) override;

    // Where tablets reach this computer over Wi-Fi, or what stops them.
    std::string reachLine() const;

private:
    ServerLinks& m_Links;
};
