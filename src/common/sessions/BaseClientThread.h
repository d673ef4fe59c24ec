#pragma once

#include "FramedConnection.h"
#include "LogBudget.h"
#include "OscPacketDispatcher.h"
#include "OutboundQueue.h"
#include "TabletProtocol.h"
#include "Thread.h"

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

// The server's side of one tablet connection: a thread that reads framed OSC
// packets from the stream, hands each message to the tablets' vocabulary
// (TabletProtocol) and writes what is queued for the tablet. Any thread may
// queue frames (SendData, TransmitMessage, the pings, SendBulk): queueing
// never waits for the stream, so one slow tablet cannot hold up the others. What the tablet sends on (to the script, or as a
// broadcast to the other tablets) is read only as fast as its receivers
// take it: while one of them is backlogged the session reads nothing more.
// The session kinds supply how the stream is obtained (Init), lost
// (PerformDisconnect) and released (Finalize, which destroys the session).
// (The name, and b_Connected for "confirmed", are kept: docs/kept-names.md.)
class BaseClientThread : public CThread,
                         public OscPacketDispatcher,
                         public TabletSession,
                         private FramedConnection::Handler {
public:
    using Frame = OutboundQueue::Frame;

    // A tablet whose stream takes no byte for this long, while frames wait
    // for it, is disconnected.
    static constexpr std::uint64_t kSendTimeoutSeconds = FramedConnection::kStallSeconds;
    // A tablet that has not answered (or, unconfirmed, not sent anything) for
    // this long is dropped.
    static constexpr std::uint64_t kTimeoutSeconds = 1000;
    // Ordinary bytes that may wait for one tablet: more than a tablet on the
    // slowest link falls behind while the script sends its whole state many
    // times over. Only a tablet that falls further behind is disconnected.
    static constexpr std::size_t kQueueLimit = 32u << 20;
    // Above this, senders that can wait (other tablets' broadcasts) do.
    static constexpr std::size_t kBacklogMark = 256u << 10;
    // Bulk frames (waveform replies) are handed to the session only while
    // less than this of them waits: a few replies, so that a slow link paces
    // the waveform worker instead of piling up its replies.
    static constexpr std::size_t kBulkWindow = 1u << 20;
    // The most the kernel holds for the tablet unsent (its TCP_NOTSENT_LOWAT
    // too): a few milliseconds of a slow link, so that an ordinary frame
    // waits little more than the bulk frame being written.
    static constexpr std::size_t kUnsentCeiling = 16u << 10;

    // `lifeKind`: the log budget its coming and going is counted against
    // (Wi-Fi connections, or USB device events).
    explicit BaseClientThread(TabletPeers& peers, LogBudget::Kind lifeKind = LogBudget::Kind::Connections);
    ~BaseClientThread() override;

    void Work() override;
    // Also wakes the session's thread from its wait.
    void Stop() override;

    virtual void PerformDisconnect() = 0;
    virtual bool Init() = 0;
    virtual void Finalize() = 0;

    // One liveness step (every 200 ms): pings a confirmed tablet; drops a
    // tablet that has been silent for kTimeoutSeconds.
    virtual void Monitor();

    // The session as the tablets' vocabulary acts on it.
    void reply(const char* payload, std::size_t length) override { SendData(payload, length); }
    void setConfirmed(bool confirmed) override;
    void dropStream() override { PerformDisconnect(); }
    void end() override { Stop(); }
    void answered() override;
    void setName(const std::string& name) override;
    std::string name() const override;

    // Queues one frame with the given payload, confirmed or not.
    void SendData(const char* data, std::size_t length);
    void SendData(const Frame& frame);
    // Queues a relayed frame, only when confirmed.
    void TransmitMessage(const Frame& frame);
    // Queues a bulk frame, behind every ordinary one, confirmed or not.
    void SendBulk(const Frame& frame);
    // Queues an empty bundle with time tag 1: the start of a group (its end
    // is not signalled to the tablet).
    void StartBundle();

    bool isConnected() const { return b_Connected.load(); }
    // The tablet for the status menu and the check.
    virtual TabletStatus status() const;
    // Answers that lag more than this mark a slow link.
    static constexpr int kSlowLinkMilliseconds = 200;
    const sockaddr_in& peer() const { return m_Addr; }
    std::string peerAddress() const;
    // Who is at the other end, for the log: the address and port by default.
    std::string peerName() const override;
    // When the tablet last sent anything, in milliseconds of the server's clock.
    std::uint64_t lastHeardMs() const { return m_LastHeardMs.load(); }

    // Flow control: whether so much ordinary traffic waits for the tablet
    // that senders able to wait should; whether bulk may be handed on; and
    // the wake-up of a session that waits for room itself.
    bool backlogged() { return m_Connection.backlogged(); }
    bool bulkRoom() { return m_Connection.bulkRoom(); }
    void wakeIfWaiting();

    // The empty bundle with time tag 1 as a shared frame.
    static const Frame& bundleStartFrame();

protected:
    void BundleStart(const osc::ReceivedBundle& bundle) override;
    void ProcessMessage(const ReceivedOscMessage& message) override;
    void BundleEnd(const osc::ReceivedBundle& bundle) override;

    // A stream to the tablet opened (the session owns it from now on): it
    // starts the tablet's silence afresh, as it could not answer without one.
    void openStream(int socket);
    // Closes the stream; frames are dropped until the next one opens.
    void closeStream();
    // The stream's descriptor, 0 while none is open.
    int streamSocket() const { return m_Connection.socket(); }
    // Has the session's own thread drop the stream that is open now, as if
    // it had been lost; a stream opened later is not affected.
    void requestDisconnect();
    // Whether the caller runs on the session's own thread.
    bool onOwnThread() const;
    // Whether the session's own thread is handling a packet from the tablet.
    bool dispatching() const;
    // Waits `seconds` of the server's clock or until the session is stopped;
    // returns whether it still runs.
    bool pause(std::uint64_t seconds);
    // The payloads waiting to be written, oldest first (for tests).
    std::vector<std::string> queuedPayloads();
    // One packet from the tablet, as its stream brought it: dispatched, then
    // the session waits for the receivers it went to if they are backlogged.
    void frameArrived(std::string_view payload) override;
    // Whether the tablet is read on: not while those its last packets went
    // to (the script, the other tablets) are backlogged.
    bool mayRead() override;

    sockaddr_in m_Addr{};
    std::atomic<bool> b_Connected{false};
    std::atomic<std::uint64_t> m_LastSeen{0};  // the tablet's last liveness answer
    std::string m_DeviceName;  // guarded by m_StatusLock: the status is read by other threads

private:
    void serve();
    bool exchange();
    // Whether a drop of the open stream was asked for; forgets the request.
    bool dropAsked();
    bool dropPending() const;

    // The connection's handler.
    void bytesArrived() override;
    bool serving() override;
    bool streamWanted() override;
    void timedOut();
    // After a packet: waits, reading nothing more, while those it went to are backlogged.
    void waitForReceivers();

    // A ping went out now: the answer's round trip is measured from it.
    void pingSent();
    // Whether a line the tablet's traffic causes may be logged now.
    static bool mayLog();
    // Says how much waited for the tablet when its connection went.
    void tellDiscarded(const FrameOutlet::Discarded& discarded);

    TabletPeers& m_Peers;
    const LogBudget::Kind m_LifeKind;
    FramedConnection m_Connection;
    std::atomic<std::uint64_t> m_LastHeardMs{0};  // when the tablet last sent anything, in milliseconds
    std::atomic<std::uint64_t> m_Stream{0};      // the number of the stream opened last
    std::atomic<std::uint64_t> m_DropStream{0};  // the stream to drop once the thread gets to it (0: none)
    bool m_Dispatching = false;                 // the session's own thread only
    // Whom the packet being handled went to, and whom the session waits for
    // before it reads on (Sent); the session's own thread writes.
    unsigned m_SentTo = 0;
    std::atomic<unsigned> m_WaitingFor{0};
    // When the pings not yet answered were sent (nanoseconds), oldest first,
    // and the round trip they give, smoothed; both guarded by m_StatusLock.
    mutable std::mutex m_StatusLock;
    std::deque<std::uint64_t> m_PingsSent;
    int m_RoundTripMs = -1;

};
