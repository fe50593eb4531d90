// The events the message parser raises while one retrieved message is read. The control
// forwards them to the application; tests record them. Every handler does nothing unless
// overridden, so a listener implements only what it needs.
#pragma once

#include "common/MailboxEvents.h"
#include "common/Types.h"

namespace zef::pop {

class MessageEvents {
  public:
    virtual ~MessageEvents() = default;

    virtual void RetrFirst(long /*id*/, long /*Much*/, bool& /*CancelRetr*/) {}
    virtual void RetrDone(long /*id*/, bool& /*CancelDelete*/) {}
    virtual void MailHeadFirst(long /*id*/) {}
    virtual void MailHeadNext(long /*id*/, const Text& /*FieldName*/, const Text& /*FieldValue*/) {}
    virtual void MailHeadDone(long /*id*/) {}
    virtual void MimeHeadFirst(long /*id*/, long /*Part*/) {}
    virtual void MimeHeadNext(long /*id*/, long /*Part*/, const Text& /*FieldName*/,
                              const Text& /*FieldValue*/) {}
    virtual void MimeHeadDone(long /*id*/, long /*Part*/) {}
    virtual void MultiPartOpen(long /*id*/, long /*ParentPart*/, const Text& /*ContentType*/,
                               const Text& /*ContentName*/, const Text& /*ContentCharset*/,
                               const Text& /*TransferEncoding*/, Text& /*Tag*/) {}
    virtual void MultiPartClose(long /*id*/, const Text& /*Tag*/) {}
    virtual void MimeDataFirst(long /*id*/, long /*NewPart*/, const Text& /*ContentType*/,
                               const Text& /*ContentName*/, const Text& /*ContentCharset*/,
                               const Text& /*TransferEncoding*/, bool& /*IsText*/) {}
    virtual void MimeDataNext(long /*id*/, long /*Part*/, Bytes& /*Data*/) {}
    virtual void MimeDataDone(long /*id*/, long /*Part*/) {}
};

// Hands every event of the parser to the application's handlers of a control.
class ApplicationEvents final : public MessageEvents {
  public:
    explicit ApplicationEvents(const MailboxEvents& application) : app_(application) {}

    void RetrFirst(long id, long much, bool& cancelRetr) override;
    void RetrDone(long id, bool& cancelDelete) override;
    void MailHeadFirst(long id) override;
    void MailHeadNext(long id, const Text& name, const Text& value) override;
    void MailHeadDone(long id) override;
    void MimeHeadFirst(long id, long part) override;
    void MimeHeadNext(long id, long part, const Text& name, const Text& value) override;
    void MimeHeadDone(long id, long part) override;
    void MultiPartOpen(long id, long parentPart, const Text& contentType, const Text& contentName,
                       const Text& contentCharset, const Text& transferEncoding,
                       Text& tag) override;
    void MultiPartClose(long id, const Text& tag) override;
    void MimeDataFirst(long id, long newPart, const Text& contentType, const Text& contentName,
                       const Text& contentCharset, const Text& transferEncoding,
                       bool& isText) override;
    void MimeDataNext(long id, long part, Bytes& data) override;
    void MimeDataDone(long id, long part) override;

  private:
    const MailboxEvents& app_;
};

}  // namespace zef::pop
