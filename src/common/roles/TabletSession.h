#pragma once

#include <cstddef>
#include <string>

// One tablet's session as the tablet's vocabulary acts on it.
class TabletSession {
public:
    virtual ~TabletSession() = default;
    // One frame back to this tablet, confirmed or not.
    virtual void reply(const char* payload, std::size_t length) = 0;
    // The tablet confirms its session (pings and relayed traffic start) or takes it back.
    virtual void setConfirmed(bool confirmed) = 0;
    // The tablet asks for its stream to be dropped; a later stream may follow.
    virtual void dropStream() = 0;
    // The tablet says goodbye: the session ends.
    virtual void end() = 0;
    // The tablet answered a ping: it is alive, and the answer's delay is measured.
    virtual void answered() = 0;
    virtual void setName(const std::string& name) = 0;
    virtual std::string name() const = 0;
    // Who is at the other end, for the log.
    virtual std::string peerName() const = 0;
};
