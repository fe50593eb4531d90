// Throughput of popZef's receiving path: line assembly alone, the message parser alone, and a
// whole retrieval through the control, on a generated mailbox held in memory.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "bench/pop/MailboxFeed.h"
#include "pop/LineAssembler.h"
#include "pop/MessageParser.h"

namespace zef::bench {
namespace {

constexpr size_t kChunk = size_t{64} * 1024;  // what one socket read brings

std::string Mailbox(size_t bytes) {
    std::string text;
    MessageSource source(bytes);
    while (source.Next(text, kChunk)) {
    }
    return text;
}

void BM_LineAssembly(benchmark::State& state) {
    const std::string text = Mailbox(16 << 20);
    for (auto _ : state) {
        pop::LineAssembler assembler(64 << 20);
        size_t lines = 0;
        for (size_t at = 0; at < text.size(); at += kChunk) {
            assembler.Append(std::string_view(text).substr(at, kChunk));
            std::string_view line;
            while (assembler.NextLine(line) == pop::LineAssembler::Result::Line) {
                ++lines;
            }
        }
        benchmark::DoNotOptimize(lines);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_LineAssembly)->Unit(benchmark::kMillisecond);

// The parser on lines already cut; Arg 1 asks for text data, 0 for bytes.
void BM_Parser(benchmark::State& state) {
    const std::string text = Mailbox(16 << 20);
    std::vector<std::string_view> lines;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find("\r\n", at);
        lines.push_back(std::string_view(text).substr(at, end - at));
        at = end + 2;
    }
    lines.pop_back();  // the final "."
    struct Sink : pop::MessageEvents {
        bool isText = false;
        size_t bytes = 0;
        void MimeDataFirst(long, long, const Text&, const Text&, const Text&, const Text&,
                           bool& text) override {
            text = isText;
        }
        void MimeDataNext(long, long, Bytes& data) override { bytes += data.size(); }
    } sink;
    sink.isText = state.range(0) != 0;
    auto glyph = MakeGlyph();
    auto codec = MakeCodec();
    pop::MessageParser parser(*glyph, *codec, sink);
    for (auto _ : state) {
        bool flag = false;
        parser.BeginMessage(1, 1, flag);
        for (std::string_view line : lines) {
            parser.ParseMessageLine(1, line);
        }
        parser.EndMessage(1, flag);
    }
    benchmark::DoNotOptimize(sink.bytes);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Parser)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Login to QUIT with one message arriving in socket-sized pieces; Arg 1 asks for text data.
void BM_WholeRetrieval(benchmark::State& state) {
    const size_t size = 16 << 20;
    for (auto _ : state) {
        const Retrieval result = RetrieveOne(size, kChunk, state.range(0) != 0);
        if (result.doneCode != 0) {
            state.SkipWithError("transfer failed");
        }
        benchmark::DoNotOptimize(result.dataBytes);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_WholeRetrieval)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Per-event cost: a message of one-character lines in a 7bit part, each line one MimeDataNext
// through the control's std::function handlers; every other event has a handler too.
void BM_EventDispatch(benchmark::State& state) {
    std::string message =
        "Subject: events\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n"
        "--b\r\nContent-Type: text/plain\r\n\r\n";
    constexpr size_t kLines = 200000;
    for (size_t i = 0; i < kLines; ++i) {
        message += "x\r\n";
    }
    message += "--b--\r\n.\r\n";
    size_t events = 0;
    for (auto _ : state) {
        const Retrieval result = RetrieveWithAllHandlers(message, kChunk, state.range(0) != 0);
        if (result.doneCode != 0) {
            state.SkipWithError("transfer failed");
        }
        events = result.dataEvents;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * events));
    state.SetLabel(state.range(0) != 0 ? "text" : "bytes");
}
BENCHMARK(BM_EventDispatch)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The parser on the messages of a folder (ZEF_BENCH_CORPUS, e.g. the mailbox bench/e2e/run.py
// makes), held in memory and cut into lines beforehand; Arg 1 takes text parts as text.
void BM_ParserCorpus(benchmark::State& state) {
    const char* folder = std::getenv("ZEF_BENCH_CORPUS");
    if (folder == nullptr) {
        state.SkipWithError("set ZEF_BENCH_CORPUS to a folder of .eml files");
        return;
    }
    std::vector<std::string> messages;
    size_t total = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() == ".eml") {
            std::ifstream in(entry.path(), std::ios::binary);
            messages.emplace_back(std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>());
            total += messages.back().size();
        }
    }
    struct Sink : pop::MessageEvents {
        bool textParts = false;
        size_t bytes = 0;
        void MimeDataFirst(long, long, const Text& type, const Text&, const Text&, const Text&,
                           bool& text) override {
            text = textParts && type.rfind(u"text/", 0) == 0;
        }
        void MimeDataNext(long, long, Bytes& data) override { bytes += data.size(); }
    } sink;
    sink.textParts = state.range(0) != 0;
    auto glyph = MakeGlyph();
    auto codec = MakeCodec();
    pop::MessageParser parser(*glyph, *codec, sink);
    pop::LineAssembler lines(64 << 20);
    for (auto _ : state) {
        for (const std::string& message : messages) {
            bool flag = false;
            parser.BeginMessage(1, 1, flag);
            for (size_t at = 0; at < message.size(); at += kChunk) {
                lines.Append(std::string_view(message).substr(at, kChunk));
                std::string_view line;
                while (lines.NextLine(line) == pop::LineAssembler::Result::Line) {
                    parser.ParseMessageLine(1, line);
                }
            }
            lines.Clear();
            parser.EndMessage(1, flag);
        }
    }
    benchmark::DoNotOptimize(sink.bytes);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
    state.SetLabel(sink.textParts ? "text parts as text" : "bytes");
}
BENCHMARK(BM_ParserCorpus)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zef::bench

BENCHMARK_MAIN();
