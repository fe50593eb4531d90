// The message parser alone on message files: each file is read from the page cache in 64 KiB
// blocks, cut into lines and parsed, every part decoded; nothing is written anywhere.
//
//   pop_parse_files [--text] [--repeat N] FILE...
//
// Without --text every part is taken as bytes (IsText False); with --text the parts whose type
// begins with "text/" are taken as text (converted to UTF-16LE), the others as bytes. Prints
// one line: the bytes read, the data bytes handed out, the seconds spent (wall and CPU) and
// the peak RSS, as key=value pairs for bench/e2e/run.py.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bench/ProcessUsage.h"
#include "components/Codec.h"
#include "components/Glyph.h"
#include "pop/LineAssembler.h"
#include "pop/MessageParser.h"

namespace {

constexpr size_t kBlock = size_t{64} * 1024;
constexpr size_t kMaxLine = 1 << 20;

struct Totals {
    size_t fileBytes = 0;
    size_t dataBytes = 0;
    size_t dataEvents = 0;
};

class CountingEvents final : public zef::pop::MessageEvents {
  public:
    CountingEvents(bool textParts, Totals& totals) : textParts_(textParts), totals_(totals) {}

    void MimeDataFirst(long, long, const zef::Text& type, const zef::Text&, const zef::Text&,
                       const zef::Text&, bool& isText) override {
        isText = textParts_ && IsTextType(type);
    }
    void MimeDataNext(long, long, zef::Bytes& data) override {
        totals_.dataBytes += data.size();
        ++totals_.dataEvents;
    }

  private:
    static bool IsTextType(const zef::Text& type) {
        constexpr std::u16string_view kText = u"text/";
        if (type.size() < kText.size()) {
            return false;
        }
        for (size_t i = 0; i < kText.size(); ++i) {
            char16_t c = type[i];
            if (c >= u'A' && c <= u'Z') {
                c = static_cast<char16_t>(c - u'A' + u'a');
            }
            if (c != kText[i]) {
                return false;
            }
        }
        return true;
    }

    bool textParts_;
    Totals& totals_;
};

// Parses one file; false when it cannot be read or holds a line over the limit.
bool ParseFile(const char* path, zef::pop::MessageParser& parser, zef::pop::LineAssembler& lines,
               std::vector<char>& block, Totals& totals) {
    const int fd = ::open(path, O_RDONLY);
    if (fd < 0) {
        std::fprintf(stderr, "pop_parse_files: cannot open %s: %s\n", path, std::strerror(errno));
        return false;
    }
    bool flag = false;
    parser.BeginMessage(1, 1, flag);
    bool ok = true;
    for (;;) {
        const ssize_t got = ::read(fd, block.data(), block.size());
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        totals.fileBytes += static_cast<size_t>(got);
        lines.Append(std::string_view(block.data(), static_cast<size_t>(got)));
        std::string_view line;
        zef::pop::LineAssembler::Result result;
        while ((result = lines.NextLine(line)) == zef::pop::LineAssembler::Result::Line) {
            parser.ParseMessageLine(1, line);
        }
        if (result == zef::pop::LineAssembler::Result::TooLong) {
            ok = false;
            break;
        }
    }
    ::close(fd);
    // A last line without its line end still belongs to the message.
    lines.Append("\n");
    std::string_view line;
    if (lines.NextLine(line) == zef::pop::LineAssembler::Result::Line && !line.empty()) {
        parser.ParseMessageLine(1, line);
    }
    lines.Clear();
    parser.EndMessage(1, flag);
    if (!ok) {
        std::fprintf(stderr, "pop_parse_files: cannot read %s\n", path);
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    bool textParts = false;
    long repeat = 1;
    std::vector<const char*> files;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--text") {
            textParts = true;
        } else if (arg == "--repeat" && i + 1 < argc) {
            repeat = std::strtol(argv[++i], nullptr, 10);
        } else {
            files.push_back(argv[i]);
        }
    }
    if (files.empty() || repeat < 1) {
        std::fprintf(stderr, "usage: pop_parse_files [--text] [--repeat N] FILE...\n");
        return 2;
    }

    Totals totals;
    CountingEvents events(textParts, totals);
    auto glyph = zef::MakeGlyph();
    auto codec = zef::MakeCodec();
    zef::pop::MessageParser parser(*glyph, *codec, events);
    zef::pop::LineAssembler lines(kMaxLine);
    std::vector<char> block(kBlock);

    const double cpuStart = zef::bench::CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    bool ok = true;
    for (long round = 0; round < repeat; ++round) {
        for (const char* path : files) {
            ok = ParseFile(path, parser, lines, block, totals) && ok;
        }
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = zef::bench::CpuSeconds() - cpuStart;
    std::printf("bytes=%zu data=%zu events=%zu wall=%.6f cpu=%.6f rss_kib=%ld\n", totals.fileBytes,
                totals.dataBytes, totals.dataEvents, wall, cpu, zef::bench::PeakRssKiB());
    return ok ? 0 : 1;
}
