// A server model of ServerModels.h behind a real TCP listener on 127.0.0.1, on the test's own
// event loop, so that the controls can meet its faults through the real socket component.
#pragma once

#include <asio.hpp>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "tests/reliability/SimNetwork.h"

namespace zef::reliability {

class LoopbackPeer {
  public:
    // Listens on an ephemeral port; each accepted connection is served by `peer`.
    LoopbackPeer(asio::io_context& io, Peer& peer);
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    std::string Port() const;

  private:
    class Link;
    void Accept();

    asio::io_context& io_;
    Peer& peer_;
    asio::ip::tcp::acceptor acceptor_;
    std::shared_ptr<Link> link_;
};

}  // namespace zef::reliability
