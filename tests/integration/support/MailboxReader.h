// Reads a mailbox with popZef and records everything the control reports about each message:
// its unique id, TOP lines, header fields, parts with their attributes and data, and the
// multipart events. The test decides, per part, text or bytes, and, per message, keep or delete.
#pragma once

#include <asio/io_context.hpp>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/Types.h"
#include "pop/popZef.h"
#include "tests/integration/support/IntegrationEnv.h"

namespace zef::integration {

using Fields = std::vector<std::pair<std::string, std::string>>;

struct PartSeen {
    long part = 0;
    std::string contentType, charset;
    bool isText = false;
    Bytes data;  // decoded bytes, or UTF-16LE text when isText
    Fields headers;
};

struct MessageSeen {
    std::string uidl, corpusId;
    long size = -1;
    std::vector<std::string> topLines;
    Fields headers;
    std::vector<PartSeen> parts;
    int opens = 0, closes = 0;
    bool headDone = false, retrDone = false;
};

// Lower-cased ASCII.
std::string Lower(std::string text);

// Records everything popZef reports about a mailbox, and answers its questions: text or bytes
// for each part, keep or delete each message.
class MailboxReader {
  public:
    MailboxReader(asio::io_context& io, const ServerEnv& env);

    std::function<bool(const PartSeen&)> wantText = [](const PartSeen&) { return false; };
    // Called in RetrDone with the message's X-Corpus-Id: true keeps it on the server.
    std::function<bool(const std::string& corpusId)> keep = [](const std::string&) {
        return false;
    };

    // Reads the whole mailbox, asking TOP for topLines body lines; false when no Done came
    // within the time limit.
    bool Read(const std::string& user, const std::string& password, bool apop, long topLines);

    // The control itself, for what a test does beyond reading (Abend, properties).
    popZef& Control() { return pop_; }

    int doneCount = 0;
    long doneCode = 0;
    std::string doneMessage, trace;
    long statCount = -1, statSize = -1;
    std::map<long, MessageSeen> messages;
    std::vector<std::string> faults;  // events out of order

  private:
    void Fault(long id, const std::string& what);
    void Attach();
    void AttachParts();

    asio::io_context& io_;
    popZef pop_;
    long pendingPart_ = 0;
    Fields pendingHeaders_;
    std::vector<Text> openTags_;
};

}  // namespace zef::integration
