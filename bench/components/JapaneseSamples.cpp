#include "bench/components/JapaneseSamples.h"

#include <unicode/ucnv.h>

#include <random>
#include <stdexcept>

#include "common/Unicode.h"
#include "components/Glyph.h"

namespace zef::bench {

namespace {

const char* const kJapanese[] = {
    "本日の会議は午後三時から第二会議室で行います。",
    "資料は添付ファイルをご確認ください。",
    "先日お送りした見積書について、いくつか質問があります。",
    "来週の月曜日までにご返信いただけますと幸いです。",
    "新しいシステムの導入に伴い、作業手順が変更になります。",
    "ご不明な点がございましたら、お気軽にお問い合わせください。",
    "東京本社と大阪支店の担当者が出席する予定です。",
    "全角の英数字ＡＢＣ１２３と記号「」、。・も含みます。",
    "ZEF は日本語のメールを扱うライブラリです。",
    "Version 2.1 の変更点：速度の改善、メモリ使用量の削減。",
};

const char* const kEnglish[] = {
    "The meeting starts at three in the afternoon in the second meeting room.",
    "Please find the documents attached to this message.",
    "We have a few questions about the estimate you sent the other day.",
    "A reply by next Monday would be much appreciated.",
};

Bytes FromText(const char* converterName, const Text& text) {
    UErrorCode status = U_ZERO_ERROR;
    UConverter* converter = ucnv_open(converterName, &status);
    if (U_FAILURE(status)) {
        throw std::runtime_error(std::string("no converter ") + converterName);
    }
    Bytes out(text.size() * 4 + 8, '\0');
    const int32_t length = ucnv_fromUChars(converter, out.data(), static_cast<int32_t>(out.size()),
                                           text.data(), static_cast<int32_t>(text.size()), &status);
    ucnv_close(converter);
    if (U_FAILURE(status)) {
        throw std::runtime_error(std::string("cannot convert to ") + converterName);
    }
    out.resize(static_cast<size_t>(length));
    return out;
}

Bytes Encode(Sample sample, const Text& line, Glyph& glyph) {
    switch (sample) {
        case Sample::kIso2022Jp: {
            Text pending = line;
            return glyph.TextToJis(pending);
        }
        case Sample::kShiftJis:
            return FromText("Shift_JIS", line);
        case Sample::kEucJp:
            return FromText("EUC-JP", line);
        case Sample::kAscii:
        case Sample::kUtf8:
            break;
    }
    return TextToUtf8(line);
}

}  // namespace

std::vector<Bytes> SampleLines(Sample sample, size_t bytes) {
    auto glyph = MakeGlyph();
    std::vector<Bytes> lines;
    size_t total = 0;
    for (size_t i = 0; total < bytes; ++i) {
        const Text line = sample == Sample::kAscii
                              ? Utf8ToText(kEnglish[i % std::size(kEnglish)])
                              : Utf8ToText(std::string(kJapanese[i % std::size(kJapanese)]) +
                                           kJapanese[(i * 7 + 3) % std::size(kJapanese)]);
        lines.push_back(Encode(sample, line, *glyph));
        total += lines.back().size() + 2;
    }
    return lines;
}

Text SampleText(Sample sample, size_t bytes) {
    Text text;
    for (const Bytes& line :
         SampleLines(sample == Sample::kAscii ? Sample::kAscii : Sample::kUtf8, bytes)) {
        text += Utf8ToText(line) + u"\r\n";
    }
    return text;
}

Bytes RandomBytes(size_t size) {
    std::mt19937 random(20240611);
    Bytes out(size, '\0');
    for (char& byte : out) {
        byte = static_cast<char>(random() & 0xFF);
    }
    return out;
}

const char* SampleName(Sample sample) {
    switch (sample) {
        case Sample::kAscii:
            return "ascii";
        case Sample::kIso2022Jp:
            return "iso-2022-jp";
        case Sample::kShiftJis:
            return "shift_jis";
        case Sample::kEucJp:
            return "euc-jp";
        case Sample::kUtf8:
            return "utf-8";
    }
    return "";
}

}  // namespace zef::bench
