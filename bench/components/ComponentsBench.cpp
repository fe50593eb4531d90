// Throughput of the hot paths below the controls, each called the way the controls call it:
// base64 and quoted-printable both ways (smtpZef encodes pieces, popZef decodes line by line),
// the body decoder, the charset converter's conversions and its encoding detection, and the
// decoding of header lines.
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>
#include <vector>

#include "bench/components/JapaneseSamples.h"
#include "common/Unicode.h"
#include "components/Codec.h"
#include "components/Glyph.h"
#include "components/glyph/Detection.h"
#include "pop/BodyDecoder.h"
#include "smtp/PartHeader.h"
#include "smtp/Utf8Mail.h"

namespace zef::bench {
namespace {

constexpr size_t kSampleBytes = 1 << 20;
constexpr size_t kAttachmentPiece = size_t{57} * 1024;  // what zefmail hands to MimeBody
constexpr size_t kTextPiece = size_t{16} * 1024;        // what zefmail hands to MoreData, in units

const Sample kSamples[] = {Sample::kAscii, Sample::kIso2022Jp, Sample::kShiftJis, Sample::kEucJp,
                           Sample::kUtf8};

Sample SampleArg(const benchmark::State& state, int index = 0) {
    return kSamples[state.range(index)];
}

size_t TotalSize(const std::vector<Bytes>& lines) {
    size_t total = 0;
    for (const Bytes& line : lines) {
        total += line.size() + 2;
    }
    return total;
}

// Cuts text with CR LF line ends into its lines, without the line ends.
std::vector<Bytes> SplitLines(std::string_view text) {
    std::vector<Bytes> lines;
    while (!text.empty()) {
        const size_t end = text.find("\r\n");
        lines.emplace_back(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 2);
    }
    return lines;
}

Bytes Joined(const std::vector<Bytes>& lines) {
    Bytes text;
    for (const Bytes& line : lines) {
        text.append(line).append("\r\n");
    }
    return text;
}

std::vector<Bytes> Base64Lines(size_t bytes) {
    auto codec = MakeCodec();
    return SplitLines(smtp::EncodePiece(*codec, smtp::PartEncoding::kBase64, RandomBytes(bytes)));
}

Bytes Utf8Text(size_t bytes) {
    return TextToUtf8(SampleText(Sample::kUtf8, bytes));
}

std::vector<Bytes> QuotedPrintableLines(size_t bytes) {
    auto codec = MakeCodec();
    return SplitLines(
        smtp::EncodePiece(*codec, smtp::PartEncoding::kQuotedPrintable, Utf8Text(bytes)));
}

void SetLabel(benchmark::State& state, Sample sample) {
    state.SetLabel(SampleName(sample));
}

// --- base64 ---

void BM_Base64EncodePieces(benchmark::State& state) {
    const Bytes data = RandomBytes(4 * kSampleBytes);
    auto codec = MakeCodec();
    for (auto _ : state) {
        size_t out = 0;
        for (size_t at = 0; at < data.size(); at += kAttachmentPiece) {
            out += smtp::EncodePiece(*codec, smtp::PartEncoding::kBase64,
                                     data.substr(at, kAttachmentPiece))
                       .size();
        }
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_Base64EncodePieces)->Unit(benchmark::kMillisecond);

void BM_Base64DecodeLines(benchmark::State& state) {
    const std::vector<Bytes> lines = Base64Lines(4 * kSampleBytes);
    auto codec = MakeCodec();
    Bytes line;
    for (auto _ : state) {
        size_t out = 0;
        for (const Bytes& text : lines) {
            line = text;
            out += codec->DecodeBase64(line).size();
        }
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * TotalSize(lines)));
}
BENCHMARK(BM_Base64DecodeLines)->Unit(benchmark::kMillisecond);

// --- quoted-printable ---

void BM_QuotedPrintableEncodePieces(benchmark::State& state) {
    const Bytes data = Utf8Text(kSampleBytes);
    auto codec = MakeCodec();
    for (auto _ : state) {
        size_t out = 0;
        for (size_t at = 0; at < data.size(); at += kTextPiece) {
            out += smtp::EncodePiece(*codec, smtp::PartEncoding::kQuotedPrintable,
                                     data.substr(at, kTextPiece))
                       .size();
        }
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_QuotedPrintableEncodePieces)->Unit(benchmark::kMillisecond);

void BM_QuotedPrintableDecodeLines(benchmark::State& state) {
    const std::vector<Bytes> lines = QuotedPrintableLines(kSampleBytes);
    auto codec = MakeCodec();
    Bytes line;
    for (auto _ : state) {
        size_t out = 0;
        for (const Bytes& text : lines) {
            line.assign(text).append("\r\n");
            out += codec->DecodeQuotedPrintable(line).size();
        }
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * TotalSize(lines)));
}
BENCHMARK(BM_QuotedPrintableDecodeLines)->Unit(benchmark::kMillisecond);

// --- the body decoder: one received data line to MimeDataNext data ---

// Arg 0: 0 base64 (random bytes, or Shift_JIS text for IsText), 1 quoted-printable (UTF-8
// text), 2.. a sample sent as it is (7bit/8bit); Arg 1: IsText.
void BM_BodyDecoder(benchmark::State& state) {
    const long kind = state.range(0);
    const bool isText = state.range(1) != 0;
    std::vector<Bytes> lines;
    Text encoding = u"8bit";
    if (kind == 0) {
        // Random bytes as an attachment brings them; Shift_JIS text as a text part does.
        lines = isText ? SplitLines(smtp::EncodePiece(
                             *MakeCodec(), smtp::PartEncoding::kBase64,
                             Joined(SampleLines(Sample::kShiftJis, kSampleBytes))))
                       : Base64Lines(kSampleBytes);
        encoding = u"base64";
        state.SetLabel(isText ? "base64 shift_jis, text" : "base64, bytes");
    } else if (kind == 1) {
        lines = QuotedPrintableLines(kSampleBytes);
        encoding = u"quoted-printable";
        state.SetLabel(isText ? "quoted-printable utf-8, text" : "quoted-printable, bytes");
    } else {
        const Sample sample = kSamples[kind - 2];
        lines = SampleLines(sample, kSampleBytes);
        state.SetLabel(std::string(SampleName(sample)) + (isText ? ", text" : ", bytes"));
    }
    auto glyph = MakeGlyph();
    auto codec = MakeCodec();
    pop::BodyDecoder decoder(*glyph, *codec);
    for (auto _ : state) {
        decoder.BeginPart(encoding, isText);
        size_t out = 0;
        for (const Bytes& line : lines) {
            out += decoder.DecodeLine(line).size();
        }
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * TotalSize(lines)));
}
BENCHMARK(BM_BodyDecoder)
    ->ArgsProduct({{0, 1, 2, 3, 4, 5, 6}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

// --- the charset converter ---

// Every received line of a header or a reply: JisToText on a copy of the line.
void BM_JisToText(benchmark::State& state) {
    const Sample sample = SampleArg(state);
    SetLabel(state, sample);
    const std::vector<Bytes> lines = SampleLines(sample, kSampleBytes);
    auto glyph = MakeGlyph();
    Bytes line;
    for (auto _ : state) {
        size_t out = 0;
        for (const Bytes& text : lines) {
            line = text;
            out += glyph->JisToText(line).size();
        }
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * TotalSize(lines)));
}
BENCHMARK(BM_JisToText)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);

// Text parts: each line joins the buffer, which AnyToAnsi empties of what it converts.
void BM_AnyToAnsi(benchmark::State& state) {
    const Sample sample = SampleArg(state);
    SetLabel(state, sample);
    const std::vector<Bytes> lines = SampleLines(sample, kSampleBytes);
    auto glyph = MakeGlyph();
    Bytes buffer;
    for (auto _ : state) {
        size_t out = 0;
        for (const Bytes& line : lines) {
            buffer.append(line).append("\r\n");
            out += glyph->AnyToAnsi(buffer).size();
        }
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * TotalSize(lines)));
}
BENCHMARK(BM_AnyToAnsi)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);

// 20 MiB of outgoing text (as UTF-8) in the pieces zefmail hands to the control, converted and
// transfer-encoded as smtpZef does by TextCharset: Arg 0 ASCII and 1 Japanese in ISO-2022-JP
// (7bit as it stands); Japanese in UTF-8 as 2 8bit (under BODY=8BITMIME), 3 base64 (without
// it), 4 quoted-printable (when the application asks for it). Bytes processed are the text's,
// so the rates of 1-4 compare directly.
void BM_OutgoingText(benchmark::State& state) {
    struct Case {
        Sample sample;
        bool utf8;
        smtp::PartEncoding encoding;
        const char* label;
    };
    static constexpr Case kCases[] = {
        {Sample::kAscii, false, smtp::PartEncoding::kAsIs, "ascii, iso-2022-jp"},
        {Sample::kUtf8, false, smtp::PartEncoding::kAsIs, "japanese, iso-2022-jp"},
        {Sample::kUtf8, true, smtp::PartEncoding::kAsIs, "japanese, utf-8 8bit"},
        {Sample::kUtf8, true, smtp::PartEncoding::kBase64, "japanese, utf-8 base64"},
        {Sample::kUtf8, true, smtp::PartEncoding::kQuotedPrintable, "japanese, utf-8 q-p"}};
    const Case& use = kCases[state.range(0)];
    state.SetLabel(use.label);
    const Text text = SampleText(use.sample, 20 * kSampleBytes);
    auto glyph = MakeGlyph();
    auto codec = MakeCodec();
    Text backlog;
    for (auto _ : state) {
        size_t bytes = 0;
        for (size_t at = 0; at < text.size(); at += kTextPiece) {
            backlog.append(text, at, kTextPiece);
            Bytes converted = use.utf8 ? smtp::TakeUtf8(backlog) : glyph->TextToJis(backlog);
            bytes += smtp::EncodePiece(*codec, use.encoding, std::move(converted)).size();
        }
        benchmark::DoNotOptimize(bytes);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * TextToUtf8(text).size()));
}
BENCHMARK(BM_OutgoingText)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);

// The detection of an 8-bit line's encoding, from scratch, line by line.
void BM_DetectEightBit(benchmark::State& state) {
    const Sample sample = SampleArg(state);
    SetLabel(state, sample);
    const std::vector<Bytes> lines = SampleLines(sample, kSampleBytes);
    for (auto _ : state) {
        int certain = 0;
        for (const Bytes& line : lines) {
            certain += glyph::DetectEightBit(line, true, glyph::EightBit::kUnknown).certain;
        }
        benchmark::DoNotOptimize(certain);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * TotalSize(lines)));
}
BENCHMARK(BM_DetectEightBit)->DenseRange(2, 4)->Unit(benchmark::kMillisecond);

// --- header lines ---

// Arg: 0 plain ASCII fields, 1 ISO-2022-JP B words, 2 UTF-8 B words, 3 UTF-8 Q words.
void BM_DecodeHeader(benchmark::State& state) {
    const char* const kLines[][3] = {
        {"Received: from mail.example.jp (mail.example.jp [192.0.2.1]) by mx.example.jp",
         "Content-Type: text/plain; charset=\"ISO-2022-JP\"",
         "Message-ID: <20240611100000.12345@mail.example.jp>"},
        {"Subject: =?ISO-2022-JP?B?GyRCMnFEOSROO3FOQRsoQg==?=",
         "From: =?ISO-2022-JP?B?GyRCOzNFRBsoQiAbJEJCQE86GyhC?= <taro@example.jp>",
         " =?ISO-2022-JP?B?GyRCJDMkcyRLJEEkTxsoQg==?="},
        {"Subject: =?UTF-8?B?5Lya6K2w44Gu6LOH5paZ44Gr44Gk44GE44Gm?=",
         "From: =?UTF-8?B?5bGx55SwIOWkqumDjg==?= <taro@example.jp>",
         " =?UTF-8?B?44GT44KT44Gr44Gh44Gv?="},
        {"Subject: =?UTF-8?Q?=E4=BC=9A=E8=AD=B0=E3=81=AE=E8=B3=87=E6=96=99?=",
         "From: =?UTF-8?Q?Caf=C3=A9_cr=C3=A8me?= <cafe@example.fr>",
         " =?UTF-8?Q?=E3=81=93=E3=82=93=E3=81=AB=E3=81=A1=E3=81=AF?="},
    };
    const auto& lines = kLines[state.range(0)];
    const char* const kLabels[] = {"plain", "iso-2022-jp B", "utf-8 B", "utf-8 Q"};
    state.SetLabel(kLabels[state.range(0)]);
    auto codec = MakeCodec();
    Bytes line;
    size_t bytes = 0;
    for (const char* text : lines) {
        bytes += std::string_view(text).size() + 2;
    }
    for (auto _ : state) {
        for (const char* text : lines) {
            line = text;
            benchmark::DoNotOptimize(codec->DecodeHeader(line));
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * std::size(lines)));
}
BENCHMARK(BM_DecodeHeader)->DenseRange(0, 3);

}  // namespace
}  // namespace zef::bench

BENCHMARK_MAIN();
