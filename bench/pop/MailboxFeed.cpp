#include "bench/pop/MailboxFeed.h"

namespace zef::bench {

namespace {

const char* const kHeader =
    "From: =?UTF-8?B?44GT44KT44Gr44Gh44Gv?= <a@example.jp>\r\n"
    "To: b@example.jp\r\n"
    "Subject: =?ISO-2022-JP?B?GyRCJDMkcyRLJEEkTxsoQg==?=\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"=_outer\"\r\n"
    "\r\n";

const char* const kPartsHead =
    "--=_outer\r\n"
    "Content-Type: text/plain; charset=us-ascii\r\n"
    "\r\n";
const char* const kTextLine =
    "The quick brown fox jumps over the lazy dog, again and again and again.\r\n";
const char* const kQpHead =
    "--=_outer\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n"
    "\r\n";
const char* const kQpLine =
    "caf=C3=A9 na=C3=AFve r=C3=A9sum=C3=A9 =E3=81=93=E3=82=93=E3=81=AB=E3=81=A1=\r\n";
const char* const kB64Head =
    "--=_outer\r\n"
    "Content-Type: application/octet-stream; name=blob.bin\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n";
const char* const kB64Line =
    "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4\r\n";

}  // namespace

bool MessageSource::Next(std::string& out, size_t bytes) {
    if (!headerDone_) {
        out += kHeader;
        headerDone_ = true;
    }
    const size_t start = out.size();
    while (out.size() - start < bytes && remaining_ > 0) {
        // Each round: a text part, a quoted-printable part and an attachment of 40 lines each.
        const size_t before = out.size();
        const char* heads[] = {kPartsHead, kQpHead, kB64Head};
        const char* lines[] = {kTextLine, kQpLine, kB64Line};
        const size_t part = counter_++ % 3;
        out += heads[part];
        for (int i = 0; i < 40; ++i) {
            out += lines[part];
        }
        const size_t added = out.size() - before;
        remaining_ = added >= remaining_ ? 0 : remaining_ - added;
    }
    if (remaining_ == 0 && out.size() - start < bytes) {
        out += "--=_outer--\r\n.\r\n";
        return false;
    }
    return true;
}

namespace {

// The real converters and codec on a socket that takes whatever the benchmark delivers.
Components ComponentsOnNullWire(NullWire*& wire) {
    Components components;
    auto owned = std::make_unique<NullWire>();
    wire = owned.get();
    components.wire = std::move(owned);
    components.timer = std::make_unique<ManualTimer>();
    components.glyph = MakeGlyph();
    components.codec = MakeCodec();
    components.hash = MakeMd5Hash();
    return components;
}

}  // namespace

Retrieval RetrieveOne(size_t messageBytes, size_t chunk, bool isText) {
    NullWire* wirePointer = nullptr;
    popZef control(ComponentsOnNullWire(wirePointer));
    NullWire& wire = *wirePointer;

    Retrieval result;
    control.UidlFirst = [](long, bool& cancel) { cancel = true; };
    control.TopFirst = [](long, bool& cancel) { cancel = true; };
    control.MimeDataFirst = [isText](long, long, const Text&, const Text&, const Text&, const Text&,
                                     bool& text) { text = isText; };
    control.MimeDataNext = [&result](long, long, Bytes& data) {
        result.dataBytes += data.size();
        ++result.dataEvents;
    };
    control.Done = [&result](long code, const Text&) { result.doneCode = code; };

    control.pop(u"bench", u"user", u"pass", 0);
    wire.Connected();
    Bytes bytes = "+OK ready\r\n+OK\r\n+OK\r\n+OK 1 1\r\n+OK 1 1\r\n+OK\r\n";
    wire.Deliver(bytes);
    MessageSource source(messageBytes);
    bool more = true;
    while (more) {
        bytes.clear();
        more = source.Next(bytes, chunk);
        wire.Deliver(bytes);
    }
    bytes = "+OK\r\n+OK\r\n";  // DELE, QUIT
    wire.Deliver(bytes);
    wire.Closed();
    return result;
}

Retrieval RetrieveWithAllHandlers(const std::string& message, size_t chunk, bool isText) {
    NullWire* wirePointer = nullptr;
    popZef control(ComponentsOnNullWire(wirePointer));
    NullWire& wire = *wirePointer;

    Retrieval result;
    size_t events = 0;
    control.UidlFirst = [](long, bool& cancel) { cancel = true; };
    control.TopFirst = [](long, bool& cancel) { cancel = true; };
    control.RetrFirst = [&events](long, long, bool&) { ++events; };
    control.RetrDone = [&events](long, bool&) { ++events; };
    control.MailHeadFirst = [&events](long) { ++events; };
    control.MailHeadNext = [&events](long, const Text&, const Text&) { ++events; };
    control.MailHeadDone = [&events](long) { ++events; };
    control.MultiPartOpen = [&events](long, long, const Text&, const Text&, const Text&,
                                      const Text&, Text&) { ++events; };
    control.MultiPartClose = [&events](long, const Text&) { ++events; };
    control.MimeHeadFirst = [&events](long, long) { ++events; };
    control.MimeHeadNext = [&events](long, long, const Text&, const Text&) { ++events; };
    control.MimeHeadDone = [&events](long, long) { ++events; };
    control.MimeDataFirst = [&events, isText](long, long, const Text&, const Text&, const Text&,
                                              const Text&, bool& text) {
        text = isText;
        ++events;
    };
    control.MimeDataNext = [&result](long, long, Bytes& data) {
        result.dataBytes += data.size();
        ++result.dataEvents;
    };
    control.MimeDataDone = [&events](long, long) { ++events; };
    control.Done = [&result](long code, const Text&) { result.doneCode = code; };

    control.pop(u"bench", u"user", u"pass", 0);
    wire.Connected();
    Bytes bytes = "+OK ready\r\n+OK\r\n+OK\r\n+OK 1 1\r\n+OK 1 1\r\n+OK\r\n";
    wire.Deliver(bytes);
    for (size_t at = 0; at < message.size(); at += chunk) {
        bytes.assign(message, at, chunk);
        wire.Deliver(bytes);
    }
    bytes = "+OK\r\n+OK\r\n";  // DELE, QUIT
    wire.Deliver(bytes);
    wire.Closed();
    result.dataEvents += events;
    return result;
}

}  // namespace zef::bench
