// The parser's events, handed to the application's handlers.
#include "pop/MessageEvents.h"

namespace zef::pop {

void ApplicationEvents::RetrFirst(long id, long much, bool& cancelRetr) {
    Raise(app_.RetrFirst, id, much, cancelRetr);
}
void ApplicationEvents::RetrDone(long id, bool& cancelDelete) {
    Raise(app_.RetrDone, id, cancelDelete);
}
void ApplicationEvents::MailHeadFirst(long id) {
    Raise(app_.MailHeadFirst, id);
}
void ApplicationEvents::MailHeadNext(long id, const Text& name, const Text& value) {
    Raise(app_.MailHeadNext, id, name, value);
}
void ApplicationEvents::MailHeadDone(long id) {
    Raise(app_.MailHeadDone, id);
}
void ApplicationEvents::MimeHeadFirst(long id, long part) {
    Raise(app_.MimeHeadFirst, id, part);
}
void ApplicationEvents::MimeHeadNext(long id, long part, const Text& name, const Text& value) {
    Raise(app_.MimeHeadNext, id, part, name, value);
}
void ApplicationEvents::MimeHeadDone(long id, long part) {
    Raise(app_.MimeHeadDone, id, part);
}
void ApplicationEvents::MultiPartOpen(long id, long parentPart, const Text& contentType,
                                      const Text& contentName, const Text& contentCharset,
                                      const Text& transferEncoding, Text& tag) {
    Raise(app_.MultiPartOpen, id, parentPart, contentType, contentName, contentCharset,
          transferEncoding, tag);
}
void ApplicationEvents::MultiPartClose(long id, const Text& tag) {
    Raise(app_.MultiPartClose, id, tag);
}
void ApplicationEvents::MimeDataFirst(long id, long newPart, const Text& contentType,
                                      const Text& contentName, const Text& contentCharset,
                                      const Text& transferEncoding, bool& isText) {
    Raise(app_.MimeDataFirst, id, newPart, contentType, contentName, contentCharset,
          transferEncoding, isText);
}
void ApplicationEvents::MimeDataNext(long id, long part, Bytes& data) {
    Raise(app_.MimeDataNext, id, part, data);
}
void ApplicationEvents::MimeDataDone(long id, long part) {
    Raise(app_.MimeDataDone, id, part);
}

}  // namespace zef::pop
