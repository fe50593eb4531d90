#include "tools/zefmail/fetch/EventLog.h"

#include <nlohmann/json.hpp>

#include "common/Unicode.h"
#include "pop/popZef.h"
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

void EventLog::Attach(popZef& pop) {
    Log(pop.Done, "Done", {"Code", "msg"});
    Log(pop.Trace, "Trace", {"msg"});
    Log(pop.CaptionChanged, "CaptionChanged", {"caption"});
    Log(pop.Stat, "Stat", {"Many", "MuchAll"});
    Log(pop.UidlFirst, "UidlFirst", {"id", "CancelUidl"});
    Log(pop.UidlDone, "UidlDone", {"id", "Uidl", "Delete"});
    Log(pop.TopFirst, "TopFirst", {"id", "CancelTop"});
    Log(pop.TopNext, "TopNext", {"id", "line"});
    Log(pop.TopDone, "TopDone", {"id", "Delete"});
    Log(pop.RetrFirst, "RetrFirst", {"id", "Much", "CancelRetr"});
    Log(pop.RetrDone, "RetrDone", {"id", "CancelDelete"});
    Log(pop.MailHeadFirst, "MailHeadFirst", {"id"});
    Log(pop.MailHeadNext, "MailHeadNext", {"id", "FieldName", "FieldValue"});
    Log(pop.MailHeadDone, "MailHeadDone", {"id"});
    Log(pop.MimeHeadFirst, "MimeHeadFirst", {"id", "Part"});
    Log(pop.MimeHeadNext, "MimeHeadNext", {"id", "Part", "FieldName", "FieldValue"});
    Log(pop.MimeHeadDone, "MimeHeadDone", {"id", "Part"});
    Log(pop.MultiPartOpen, "MultiPartOpen",
        {"id", "ParentPart", "ContentType", "ContentName", "ContentCharset", "TransferEncoding",
         "Tag"});
    Log(pop.MultiPartClose, "MultiPartClose", {"id", "Tag"});
    Log(pop.MimeDataFirst, "MimeDataFirst",
        {"id", "NewPart", "ContentType", "ContentName", "ContentCharset", "TransferEncoding",
         "IsText"});
    Log(pop.MimeDataNext, "MimeDataNext", {"id", "Part", "Data"});
    Log(pop.MimeDataDone, "MimeDataDone", {"id", "Part"});
}

}  // namespace zef::zefmail
