#include "tools/zefmail/fetch/EventLog.h"

#include <nlohmann/json.hpp>

#include "common/MailboxEvents.h"
#include "common/Unicode.h"
#include "imap/imapZef.h"
#include "tools/zefmail/fetch/Digest.h"
#include "tools/zefmail/fetch/Output.h"

namespace zef::zefmail {

namespace {

using Json = nlohmann::ordered_json;

// An argument as the log shows it: Text as UTF-8, Data as base64.
template <class Argument>
Json Value(const Argument& value) {
    if constexpr (std::is_same_v<Argument, Text>) {
        return TextToUtf8(value);
    } else if constexpr (std::is_same_v<Argument, Bytes>) {
        return Base64(value);
    }
    return value;
}

}  // namespace

// One line per event: its name first, then its arguments in the order the event has them.
template <class... Args>
void EventLog::Log(std::function<void(Args...)>& handler, const char* event,
                   std::array<const char*, sizeof...(Args)> names) {
    Chain(handler, [this, event, names](const auto&... args) {
        Json line{{"event", event}};
        size_t i = 0;
        ((line[names[i++]] = Value(args)), ...);
        out_ << line.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
        out_.flush();  // a reader on a pipe sees each event as it happens
    });
}

void EventLog::Attach(MailboxEvents& control) {
    Log(control.Done, "Done", {"Code", "msg"});
    Log(control.Trace, "Trace", {"msg"});
    Log(control.CaptionChanged, "CaptionChanged", {"caption"});
    Log(control.Stat, "Stat", {"Many", "MuchAll"});
    Log(control.UidlFirst, "UidlFirst", {"id", "CancelUidl"});
    Log(control.UidlDone, "UidlDone", {"id", "Uidl", "Delete"});
    Log(control.TopFirst, "TopFirst", {"id", "CancelTop"});
    Log(control.TopNext, "TopNext", {"id", "line"});
    Log(control.TopDone, "TopDone", {"id", "Delete"});
    Log(control.RetrFirst, "RetrFirst", {"id", "Much", "CancelRetr"});
    Log(control.RetrDone, "RetrDone", {"id", "CancelDelete"});
    Log(control.MailHeadFirst, "MailHeadFirst", {"id"});
    Log(control.MailHeadNext, "MailHeadNext", {"id", "FieldName", "FieldValue"});
    Log(control.MailHeadDone, "MailHeadDone", {"id"});
    Log(control.MimeHeadFirst, "MimeHeadFirst", {"id", "Part"});
    Log(control.MimeHeadNext, "MimeHeadNext", {"id", "Part", "FieldName", "FieldValue"});
    Log(control.MimeHeadDone, "MimeHeadDone", {"id", "Part"});
    Log(control.MultiPartOpen, "MultiPartOpen",
        {"id", "ParentPart", "ContentType", "ContentName", "ContentCharset", "TransferEncoding",
         "Tag"});
    Log(control.MultiPartClose, "MultiPartClose", {"id", "Tag"});
    Log(control.MimeDataFirst, "MimeDataFirst",
        {"id", "NewPart", "ContentType", "ContentName", "ContentCharset", "TransferEncoding",
         "IsText"});
    Log(control.MimeDataNext, "MimeDataNext", {"id", "Part", "Data"});
    Log(control.MimeDataDone, "MimeDataDone", {"id", "Part"});
}

void EventLog::AttachFolder(imapZef& imap) {
    Log(imap.FolderListed, "FolderListed", {"Name", "Delimiter", "Attributes"});
    Log(imap.FolderSelected, "FolderSelected", {"Name", "UidValidity", "Exists"});
    Log(imap.Idling, "Idling", {});
}

}  // namespace zef::zefmail
