// The IMAP response reader on whatever a server might send. The input is read twice: whole, and
// in pieces cut as the input says; both readings must give the same events and the same fault.
// Whatever the input, each literal streamed gets exactly its announced bytes, a collected one
// holds them all and stays within its limit, and no list is nested deeper than allowed.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzInput.h"
#include "imap/ResponseReader.h"

namespace zef::fuzz {
namespace {

using imap::Response;
using imap::Value;

// The events as text; the bytes of a streamed literal joined, however they were cut.
class Recorder : public imap::ResponseEvents {
  public:
    Recorder(const imap::ReaderLimits& limits, uint8_t streamRule)
        : limits_(limits), streamRule_(streamRule) {}

    void OnResponse(const Response& response) override {
        log += "R" + std::to_string(static_cast<int>(response.kind)) + response.tag + "|" +
               std::to_string(static_cast<int>(response.status)) + "|" + response.text + "|";
        Write(response.code, 1);
        Write(response.values, 1);
        log += "\n";
    }
    bool OnLiteralStart(const Response& partial, const Value& literal) override {
        ZEF_FUZZ_CHECK(literal.kind == Value::Kind::Literal && literal.text.empty());
        const bool stream = partial.values.size() % 4 < streamRule_;
        log += stream ? "S" : "C";
        left_ = stream ? literal.number : 0;
        return stream;
    }
    void OnLiteralData(std::string_view piece) override {
        ZEF_FUZZ_CHECK(!piece.empty() && piece.size() <= left_);
        left_ -= piece.size();
        log.append(piece);
    }
    void OnLiteralEnd() override {
        ZEF_FUZZ_CHECK(left_ == 0);
        log += "E";
    }

    std::string log;

  private:
    void Write(const std::vector<Value>& values, size_t depth) {
        for (const Value& value : values) {
            log += std::to_string(static_cast<int>(value.kind)) + ":" + value.text + ";";
            if (value.kind == Value::Kind::Literal && !value.streamed) {
                ZEF_FUZZ_CHECK(value.text.size() == value.number);
                ZEF_FUZZ_CHECK(value.number <= limits_.maxCollectedLiteral);
            }
            if (value.kind == Value::Kind::List) {
                ZEF_FUZZ_CHECK(depth <= limits_.maxDepth);
                log += "(";
                Write(value.items, depth + 1);
                log += ")";
            }
        }
    }

    const imap::ReaderLimits& limits_;
    uint8_t streamRule_;  // 0 collects every literal, 4 streams every one, between: some
    uint64_t left_ = 0;
};

std::string Read(const imap::ReaderLimits& limits, uint8_t stream, std::string_view bytes,
                 std::string_view lengths) {
    Recorder recorder(limits, stream);
    imap::ResponseReader reader(recorder, limits);
    imap::Fault fault = imap::Fault::None;
    DeliverInPieces(bytes, lengths, [&](std::string_view piece) {
        const imap::Fault before = fault;
        const size_t logged = recorder.log.size();
        fault = reader.Feed(piece);
        // A fault is final: nothing more is read after it.
        ZEF_FUZZ_CHECK(before == imap::Fault::None ||
                       (fault == before && recorder.log.size() == logged));
    });
    return recorder.log + "!" + imap::FaultName(fault);
}

void Run(FuzzInput& input) {
    const uint8_t shape = input.Byte();
    imap::ReaderLimits limits;
    if ((shape & 1) != 0) {
        limits = {.maxLineLength = 40u + input.Byte(),
                  .maxDepth = 1u + input.Byte() % 8,
                  .maxCollectedLiteral = input.Byte(),
                  .maxResponseSize = 64u + input.Byte() * 4u};
    }
    const auto stream = static_cast<uint8_t>((shape >> 1) % 5);
    const std::string_view lengths = input.Piece(32);
    const std::string_view bytes = input.Rest();

    const std::string whole = Read(limits, stream, bytes, {});
    const std::string pieced = Read(limits, stream, bytes, lengths);
    if (Verbose()) {
        std::fprintf(stderr, "%s\n", whole.c_str());
    }
    ZEF_FUZZ_CHECK(whole == pieced);
}

}  // namespace
}  // namespace zef::fuzz

ZEF_FUZZ_TARGET(zef::fuzz::Run)
