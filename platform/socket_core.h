// What both socket halves keep alike: the remote host and port as set, the
// state, the bytes received and not yet taken, the bytes queued and not yet
// sent, and the rules for giving and taking them. A platform's socket
// derives from it and adds how it resolves, connects and moves bytes.
#pragma once

#include <string>
#include <string_view>

#include "platform/socket.h"

namespace verimex::platform {

class SocketCore : public SocketControl {
public:
    void RemoteHost(std::string host) final { host_ = std::move(host); }
    void RemotePort(int port) final { port_ = checked_port(port); }
    int State() final { return state_; }
    // Only an open connection takes data; before it is up, after the peer
    // has closed or once a send failed, it is dropped, as nobody would
    // read it.
    void SendData(std::string_view data) final;
    void GetData(std::string& data) final;

protected:
    // Hands queued bytes to the connection, as far as it takes them now.
    virtual void flush() = 0;
    // Work was queued between passes: the loop must look before it pauses.
    virtual void wake() = 0;
    // Drops both buffers and a failed send; the state is the caller's.
    void drop_buffers();
    // Whether a pass may read more: the cap on unread bytes is not reached.
    bool room_to_read() const { return inbox_.size() < receive_buffer_cap; }

    std::string host_;
    int port_ = 0;
    int state_ = sckClosed;
    std::string inbox_;         // received, not yet taken by GetData
    std::string outbox_;        // queued by SendData, not yet sent
    bool send_closed_ = false;  // a send failed: the peer takes no more
};

}  // namespace verimex::platform
