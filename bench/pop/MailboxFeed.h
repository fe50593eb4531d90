// A generated mailbox for measuring popZef without a network: message text made on the fly,
// and a control driven through one retrieval on a socket that only counts what it is given.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "common/Types.h"
#include "components/Timer.h"
#include "components/Wire.h"
#include "pop/popZef.h"

namespace zef::bench {

// The body lines of a message, in arrival form (CR LF, dot-stuffed): a multipart with a
// 7bit text part, a quoted-printable text part and a base64 attachment, repeated.
class MessageSource {
  public:
    // Appends about `bytes` bytes of the message (whole lines) to `out`; false when done.
    explicit MessageSource(size_t totalBytes) : remaining_(totalBytes) {}
    bool Next(std::string& out, size_t bytes);

  private:
    size_t remaining_;
    bool headerDone_ = false;
    size_t counter_ = 0;
};

// A socket that accepts everything and raises nothing on its own.
class NullWire final : public Wire {
  public:
    void Connect(const std::string&, const std::string&, const std::string&) override {}
    void SendData(Bytes& data) override { data.clear(); }
    bool CanSend() const override { return true; }
    void Close() override {}
    void Shutdown(int) override {}
    std::string LocalHostName() const override { return "bench"; }
    void Deliver(Bytes& bytes) { DataArrival(bytes); }
};

struct Retrieval {
    size_t dataBytes = 0;  // bytes handed out by MimeDataNext
    size_t dataEvents = 0;
    long doneCode = 1;
};

// Runs one whole transfer: login, STAT, LIST, RETR of a message of `messageBytes` arriving in
// pieces of `chunk` bytes, DELE, QUIT. `isText` is what MimeDataFirst answers.
Retrieval RetrieveOne(size_t messageBytes, size_t chunk, bool isText);

// The same with the given message (in arrival form, ending with the "." line), and a handler
// set for every event of the control, as an application that listens to all of them.
Retrieval RetrieveWithAllHandlers(const std::string& message, size_t chunk, bool isText);

}  // namespace zef::bench
