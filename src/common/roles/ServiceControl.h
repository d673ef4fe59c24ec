#pragma once

// The service as a whole, as a tablet may act on it.
class ServiceControl {
public:
    virtual ~ServiceControl() = default;
    // Ends the service (a tablet's "/server/shutdown").
    virtual void requestShutdown() = 0;
};
