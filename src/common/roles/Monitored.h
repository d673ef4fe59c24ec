#pragma once

// Something the monitor thread steps every 200 ms: pings go out, the silent
// are let go.
class Monitored {
public:
    virtual ~Monitored() = default;
    virtual void Monitor() = 0;
};
