#pragma once

#include "ChildProcess.h"
#include "TempDir.h"

#include <memory>
#include <string>

// A private D-Bus system bus and an Avahi daemon on it that only uses the
// loopback interface, for tests of the DNS-SD advertisement. Both run as
// children of the test and end with this object.
class AvahiTestDaemons {
public:
    // Why the daemons cannot run here (not root, a system Avahi daemon owns
    // its run directory, programs missing), or empty when they can.
    static std::string unavailableReason();

    AvahiTestDaemons();
    ~AvahiTestDaemons();

    // The value for DBUS_SYSTEM_BUS_ADDRESS that reaches the private bus.
    std::string busAddress() const;

    bool startAvahi();
    void stopAvahi();

    // Lines of `avahi-browse -rpt TYPE` on the private bus that resolved.
    std::string browse(const std::string& type) const;

private:
    TempDir m_Dir;
    std::unique_ptr<ChildProcess> m_Bus;
    std::unique_ptr<ChildProcess> m_Avahi;
};
