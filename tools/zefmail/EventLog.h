// `fetch --events`: every event of popZef as one JSON object per line,
// {"event": "<name>", <argument>: <value>, ...}, with the argument names of the event
// interface. Text is UTF-8, Data is base64, and by-reference arguments carry the value zefmail
// returned to the control.
#pragma once

#include <initializer_list>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <utility>

#include "common/Types.h"

namespace zef::zefmail {

class EventLog {
  public:
    explicit EventLog(std::ostream& out) : out_(out) {}

    void Done(long Code, const Text& msg);
    void Trace(const Text& msg);
    void Stat(long Many, long MuchAll);
    void UidlFirst(long id, bool CancelUidl);
    void UidlDone(long id, const Text& Uidl, bool Delete);
    void TopFirst(long id, bool CancelTop);
    void TopNext(long id, const Text& line);
    void TopDone(long id, bool Delete);
    void RetrFirst(long id, long Much, bool CancelRetr);
    void RetrDone(long id, bool CancelDelete);
    void MailHeadFirst(long id);
    void MailHeadNext(long id, const Text& FieldName, const Text& FieldValue);
    void MailHeadDone(long id);
    void MimeHeadFirst(long id, long Part);
    void MimeHeadNext(long id, long Part, const Text& FieldName, const Text& FieldValue);
    void MimeHeadDone(long id, long Part);
    void MultiPartOpen(long id, long ParentPart, const Text& ContentType, const Text& ContentName,
                       const Text& ContentCharset, const Text& TransferEncoding, const Text& Tag);
    void MultiPartClose(long id, const Text& Tag);
    void MimeDataFirst(long id, long NewPart, const Text& ContentType, const Text& ContentName,
                       const Text& ContentCharset, const Text& TransferEncoding, bool IsText);
    void MimeDataNext(long id, long Part, const Bytes& Data);
    void MimeDataDone(long id, long Part);
    void CaptionChanged(const Text& caption);

  private:
    void Emit(const char* event,
              std::initializer_list<std::pair<const char*, nlohmann::ordered_json>> args);
    void Write(const nlohmann::ordered_json& line);

    std::ostream& out_;
};

}  // namespace zef::zefmail
