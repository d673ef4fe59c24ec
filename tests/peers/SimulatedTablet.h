#pragma once

#include "FrameReader.h"
#include "OscCodec.h"
#include "TestSockets.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The tablet's side of a session over loopback TCP, for the tests and the
// benchmarks: writes frames whole, byte by byte or with any header, and reads
// the server's frames with a time-out.
class SimulatedTablet {
public:
    struct Frame {
        std::uint32_t type = 0;
        std::string payload;
    };

    // Connects to 127.0.0.1:port; `receiveBuffer` > 0 shrinks the socket's
    // receive buffer first (a tablet that reads slowly fills up sooner);
    // `from` names another loopback address to connect from (127.0.0.2 ...).
    explicit SimulatedTablet(std::uint16_t port, int receiveBuffer = 0, const char* from = nullptr);
    // Connects to `host` (dotted) on `port`, from wherever the calling
    // thread's network is (a tablet behind a shaped link).
    SimulatedTablet(const std::string& host, std::uint16_t port, int receiveBuffer = 0);
    // The tablet at the end of a stream that is already connected (a USB
    // device's end of a usbmux connection, for instance).
    explicit SimulatedTablet(sockets::Descriptor connected);
    ~SimulatedTablet();
    SimulatedTablet(const SimulatedTablet&) = delete;
    SimulatedTablet& operator=(const SimulatedTablet&) = delete;

    bool connected() const { return m_Socket.valid(); }
    std::uint16_t localPort() const;

    // A frame: length, type, reserved, then the payload.
    void sendFrame(const std::string& payload, std::uint32_t type = 2, bool byteByByte = false);
    void sendMessage(const osctest::Message& message) { sendFrame(osctest::encode(message)); }
    // A header claiming `length` bytes, then whatever `payload` holds.
    void sendHeader(std::uint32_t length, std::uint32_t type = 2);
    void sendRaw(const std::string& bytes, bool byteByByte = false);

    // The next frame, or nothing when none arrives in time or the stream ended.
    std::optional<Frame> readFrame(std::chrono::milliseconds timeout = std::chrono::seconds(2));
    // For one thread reading many tablets (polling their sockets): a receive (false once the stream
    // ended), then the payloads it completed one at a time, each valid until the next receive.
    int socket() const { return m_Socket.get(); }
    bool receive();
    std::optional<std::string_view> receivedPayload();
    // The next frame's decoded messages (the first if a bundle holds several).
    std::optional<osctest::Message> readMessage(std::chrono::milliseconds timeout = std::chrono::seconds(2));
    // Reads until a message with `address` arrives; frames before it are skipped.
    std::optional<osctest::Message> waitFor(const std::string& address,
                                            std::chrono::milliseconds timeout = std::chrono::seconds(2));
    // Exactly `count` bytes as they arrive, or fewer on time-out or end;
    // only before any frame was read.
    std::string readRaw(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(2));
    // True when the server closed the stream within the time-out (data still
    // in flight is read and dropped).
    bool closedByServer(std::chrono::milliseconds timeout = std::chrono::seconds(2));

    void close();

private:
    sockets::Descriptor m_Socket;
    FrameReader m_Reader;
};
