#include "tools/zefmail/EventLog.h"

#include "common/Unicode.h"
#include "tools/zefmail/Digest.h"

namespace zef::zefmail {

namespace {

using Json = nlohmann::ordered_json;

std::string Utf8(const Text& text) {
    return TextToUtf8(text);
}

}  // namespace

// One line per event: its name first, then its arguments in the order the event has them.
void EventLog::Emit(const char* event, std::initializer_list<std::pair<const char*, Json>> args) {
    Json line{{"event", event}};
    for (const auto& [name, value] : args) {
        line[name] = value;
    }
    Write(line);
}

void EventLog::Write(const Json& line) {
    out_ << line.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
    out_.flush();  // a reader on a pipe sees each event as it happens
}

void EventLog::Done(long Code, const Text& msg) {
    Emit("Done", {{"Code", Code}, {"msg", Utf8(msg)}});
}

void EventLog::Trace(const Text& msg) {
    Emit("Trace", {{"msg", Utf8(msg)}});
}

void EventLog::Stat(long Many, long MuchAll) {
    Emit("Stat", {{"Many", Many}, {"MuchAll", MuchAll}});
}

void EventLog::UidlFirst(long id, bool CancelUidl) {
    Emit("UidlFirst", {{"id", id}, {"CancelUidl", CancelUidl}});
}

void EventLog::UidlDone(long id, const Text& Uidl, bool Delete) {
    Emit("UidlDone", {{"id", id}, {"Uidl", Utf8(Uidl)}, {"Delete", Delete}});
}

void EventLog::TopFirst(long id, bool CancelTop) {
    Emit("TopFirst", {{"id", id}, {"CancelTop", CancelTop}});
}

void EventLog::TopNext(long id, const Text& text) {
    Emit("TopNext", {{"id", id}, {"line", Utf8(text)}});
}

void EventLog::TopDone(long id, bool Delete) {
    Emit("TopDone", {{"id", id}, {"Delete", Delete}});
}

void EventLog::RetrFirst(long id, long Much, bool CancelRetr) {
    Emit("RetrFirst", {{"id", id}, {"Much", Much}, {"CancelRetr", CancelRetr}});
}

void EventLog::RetrDone(long id, bool CancelDelete) {
    Emit("RetrDone", {{"id", id}, {"CancelDelete", CancelDelete}});
}

void EventLog::MailHeadFirst(long id) {
    Emit("MailHeadFirst", {{"id", id}});
}

void EventLog::MailHeadNext(long id, const Text& FieldName, const Text& FieldValue) {
    Emit("MailHeadNext",
         {{"id", id}, {"FieldName", Utf8(FieldName)}, {"FieldValue", Utf8(FieldValue)}});
}

void EventLog::MailHeadDone(long id) {
    Emit("MailHeadDone", {{"id", id}});
}

void EventLog::MimeHeadFirst(long id, long Part) {
    Emit("MimeHeadFirst", {{"id", id}, {"Part", Part}});
}

void EventLog::MimeHeadNext(long id, long Part, const Text& FieldName, const Text& FieldValue) {
    Emit("MimeHeadNext", {{"id", id},
                          {"Part", Part},
                          {"FieldName", Utf8(FieldName)},
                          {"FieldValue", Utf8(FieldValue)}});
}

void EventLog::MimeHeadDone(long id, long Part) {
    Emit("MimeHeadDone", {{"id", id}, {"Part", Part}});
}

void EventLog::MultiPartOpen(long id, long ParentPart, const Text& ContentType,
                             const Text& ContentName, const Text& ContentCharset,
                             const Text& TransferEncoding, const Text& Tag) {
    Emit("MultiPartOpen", {{"id", id},
                           {"ParentPart", ParentPart},
                           {"ContentType", Utf8(ContentType)},
                           {"ContentName", Utf8(ContentName)},
                           {"ContentCharset", Utf8(ContentCharset)},
                           {"TransferEncoding", Utf8(TransferEncoding)},
                           {"Tag", Utf8(Tag)}});
}

void EventLog::MultiPartClose(long id, const Text& Tag) {
    Emit("MultiPartClose", {{"id", id}, {"Tag", Utf8(Tag)}});
}

void EventLog::MimeDataFirst(long id, long NewPart, const Text& ContentType,
                             const Text& ContentName, const Text& ContentCharset,
                             const Text& TransferEncoding, bool IsText) {
    Emit("MimeDataFirst", {{"id", id},
                           {"NewPart", NewPart},
                           {"ContentType", Utf8(ContentType)},
                           {"ContentName", Utf8(ContentName)},
                           {"ContentCharset", Utf8(ContentCharset)},
                           {"TransferEncoding", Utf8(TransferEncoding)},
                           {"IsText", IsText}});
}

void EventLog::MimeDataNext(long id, long Part, const Bytes& Data) {
    Emit("MimeDataNext", {{"id", id}, {"Part", Part}, {"Data", Base64(Data)}});
}

void EventLog::MimeDataDone(long id, long Part) {
    Emit("MimeDataDone", {{"id", id}, {"Part", Part}});
}

void EventLog::CaptionChanged(const Text& caption) {
    Emit("CaptionChanged", {{"caption", Utf8(caption)}});
}

}  // namespace zef::zefmail
