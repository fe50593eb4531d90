#include "tools/zefmail/EventLog.h"

#include "common/Unicode.h"
#include "tools/zefmail/Digest.h"

namespace zef::zefmail {

namespace {

using Json = nlohmann::ordered_json;

std::string Utf8(const Text& text) {
    return TextToUtf8(text);
}

Json Event(const char* name) {
    return Json{{"event", name}};
}

}  // namespace

void EventLog::Write(const Json& line) {
    out_ << line.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
    out_.flush();  // a reader on a pipe sees each event as it happens
}

void EventLog::Done(long Code, const Text& msg) {
    Json line = Event("Done");
    line["Code"] = Code;
    line["msg"] = Utf8(msg);
    Write(line);
}

void EventLog::Trace(const Text& msg) {
    Json line = Event("Trace");
    line["msg"] = Utf8(msg);
    Write(line);
}

void EventLog::Stat(long Many, long MuchAll) {
    Json line = Event("Stat");
    line["Many"] = Many;
    line["MuchAll"] = MuchAll;
    Write(line);
}

void EventLog::UidlFirst(long id, bool CancelUidl) {
    Json line = Event("UidlFirst");
    line["id"] = id;
    line["CancelUidl"] = CancelUidl;
    Write(line);
}

void EventLog::UidlDone(long id, const Text& Uidl, bool Delete) {
    Json line = Event("UidlDone");
    line["id"] = id;
    line["Uidl"] = Utf8(Uidl);
    line["Delete"] = Delete;
    Write(line);
}

void EventLog::TopFirst(long id, bool CancelTop) {
    Json line = Event("TopFirst");
    line["id"] = id;
    line["CancelTop"] = CancelTop;
    Write(line);
}

void EventLog::TopNext(long id, const Text& text) {
    Json line = Event("TopNext");
    line["id"] = id;
    line["line"] = Utf8(text);
    Write(line);
}

void EventLog::TopDone(long id, bool Delete) {
    Json line = Event("TopDone");
    line["id"] = id;
    line["Delete"] = Delete;
    Write(line);
}

void EventLog::RetrFirst(long id, long Much, bool CancelRetr) {
    Json line = Event("RetrFirst");
    line["id"] = id;
    line["Much"] = Much;
    line["CancelRetr"] = CancelRetr;
    Write(line);
}

void EventLog::RetrDone(long id, bool CancelDelete) {
    Json line = Event("RetrDone");
    line["id"] = id;
    line["CancelDelete"] = CancelDelete;
    Write(line);
}

void EventLog::MailHeadFirst(long id) {
    Json line = Event("MailHeadFirst");
    line["id"] = id;
    Write(line);
}

void EventLog::MailHeadNext(long id, const Text& FieldName, const Text& FieldValue) {
    Json line = Event("MailHeadNext");
    line["id"] = id;
    line["FieldName"] = Utf8(FieldName);
    line["FieldValue"] = Utf8(FieldValue);
    Write(line);
}

void EventLog::MailHeadDone(long id) {
    Json line = Event("MailHeadDone");
    line["id"] = id;
    Write(line);
}

void EventLog::MimeHeadFirst(long id, long Part) {
    Json line = Event("MimeHeadFirst");
    line["id"] = id;
    line["Part"] = Part;
    Write(line);
}

void EventLog::MimeHeadNext(long id, long Part, const Text& FieldName, const Text& FieldValue) {
    Json line = Event("MimeHeadNext");
    line["id"] = id;
    line["Part"] = Part;
    line["FieldName"] = Utf8(FieldName);
    line["FieldValue"] = Utf8(FieldValue);
    Write(line);
}

void EventLog::MimeHeadDone(long id, long Part) {
    Json line = Event("MimeHeadDone");
    line["id"] = id;
    line["Part"] = Part;
    Write(line);
}

void EventLog::MultiPartOpen(long id, long ParentPart, const Text& ContentType,
                             const Text& ContentName, const Text& ContentCharset,
                             const Text& TransferEncoding, const Text& Tag) {
    Json line = Event("MultiPartOpen");
    line["id"] = id;
    line["ParentPart"] = ParentPart;
    line["ContentType"] = Utf8(ContentType);
    line["ContentName"] = Utf8(ContentName);
    line["ContentCharset"] = Utf8(ContentCharset);
    line["TransferEncoding"] = Utf8(TransferEncoding);
    line["Tag"] = Utf8(Tag);
    Write(line);
}

void EventLog::MultiPartClose(long id, const Text& Tag) {
    Json line = Event("MultiPartClose");
    line["id"] = id;
    line["Tag"] = Utf8(Tag);
    Write(line);
}

void EventLog::MimeDataFirst(long id, long NewPart, const Text& ContentType,
                             const Text& ContentName, const Text& ContentCharset,
                             const Text& TransferEncoding, bool IsText) {
    Json line = Event("MimeDataFirst");
    line["id"] = id;
    line["NewPart"] = NewPart;
    line["ContentType"] = Utf8(ContentType);
    line["ContentName"] = Utf8(ContentName);
    line["ContentCharset"] = Utf8(ContentCharset);
    line["TransferEncoding"] = Utf8(TransferEncoding);
    line["IsText"] = IsText;
    Write(line);
}

void EventLog::MimeDataNext(long id, long Part, const Bytes& Data) {
    Json line = Event("MimeDataNext");
    line["id"] = id;
    line["Part"] = Part;
    line["Data"] = Base64(Data);
    Write(line);
}

void EventLog::MimeDataDone(long id, long Part) {
    Json line = Event("MimeDataDone");
    line["id"] = id;
    line["Part"] = Part;
    Write(line);
}

void EventLog::CaptionChanged(const Text& caption) {
    Json line = Event("CaptionChanged");
    line["caption"] = Utf8(caption);
    Write(line);
}

}  // namespace zef::zefmail
