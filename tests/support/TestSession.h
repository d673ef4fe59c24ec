#pragma once

#include "BaseClientThread.h"
#include "FrameReader.h"
#include "SocketUtil.h"

#include "FakeRoles.h"
#include "OscCodec.h"

#include <sys/socket.h>

#include <chrono>
#include <span>
#include <string>
#include <vector>

// A session for unit tests: running, but its thread only waits to be
// stopped; the test is the tablet, at the other end of a socket pair.
class TestSession : public BaseClientThread {
public:
    explicit TestSession(FakeRoles& roles) : BaseClientThread(roles.peers()) {
        int ends[2] = {-1, -1};
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends);
        openStream(ends[0]);
        m_Tablet.reset(ends[1]);
        Start();
    }
    ~TestSession() override {
        Stop();
        Join();
    }
    bool Init() override { return true; }
    void PerformDisconnect() override { Stop(); }
    void Finalize() override {}
    void Work() override {
        while (sleepWhileRunning(std::chrono::hours(1))) {
        }
    }

    void receive(const std::string& packet) { frameArrived(packet); }
    bool readsOn() { return mayRead(); }
    void confirm() { receive(osctest::encode({"/server/ping", {1}})); }
    // Everything the session sent its tablet so far, decoded.
    std::vector<osctest::Message> replies() {
        for (std::span<char> space = m_Reader.space();; space = m_Reader.space()) {
            const ssize_t got = recv(m_Tablet.get(), space.data(), space.size(), MSG_DONTWAIT);
            if (got <= 0) break;
            m_Reader.commit(static_cast<std::size_t>(got));
        }
        for (auto next = m_Reader.next(); next.event == FrameReader::Event::Frame; next = m_Reader.next()) {
            m_Replies.push_back(osctest::decode(std::string(next.payload))->messages.front());
        }
        return m_Replies;
    }

private:
    sockets::Descriptor m_Tablet;
    FrameReader m_Reader;
    std::vector<osctest::Message> m_Replies;
};
