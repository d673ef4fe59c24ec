#pragma once

#include <cstdint>
#include <functional>
#include <string>

// A tablet's own host behind a link of limited rate, as Wi-Fi on stage is: a
// private network namespace joined to this one by a veth pair, with a token
// bucket (tc tbf) on the server's side, so that what the server sends the
// tablet drains at the link's rate. Needs root; without it, or where
// namespaces are not permitted, unavailable() says why and nothing is made.
class ShapedLink {
public:
    // `rate` in tc's words ("20mbit"). Each link gets its own /30 network.
    explicit ShapedLink(const std::string& rate);
    ~ShapedLink();
    ShapedLink(const ShapedLink&) = delete;
    ShapedLink& operator=(const ShapedLink&) = delete;

    // Empty when the link is up; else one line saying why not.
    const std::string& unavailable() const { return m_Unavailable; }
    const std::string& serverAddress() const { return m_ServerAddress; }
    const std::string& tabletAddress() const { return m_TabletAddress; }

    // Runs `work` on a thread inside the tablet's namespace: sockets made
    // there belong to the tablet's host for the rest of their life.
    void inside(const std::function<void()>& work) const;
    void setRate(const std::string& rate);
    // The tablet vanishes without a word (out of range): its side of the
    // link goes down, and whatever the server sends is lost.
    void cut();

private:
    bool run(const std::string& command);

    std::string m_Namespace;
    std::string m_ServerSide;
    std::string m_TabletSide;
    std::string m_ServerAddress;
    std::string m_TabletAddress;
    std::string m_Unavailable;
};
