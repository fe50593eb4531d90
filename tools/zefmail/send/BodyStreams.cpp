#include "tools/zefmail/send/BodyStreams.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "common/Unicode.h"
#include "components/Codec.h"
#include "tools/zefmail/cli/ToolError.h"

namespace zef::zefmail {

namespace {

// How much input a text source reads at a time, and the size from which it hands out a piece.
constexpr size_t kTextReadBytes = size_t{16} * 1024;
constexpr size_t kTextPieceUnits = size_t{16} * 1024;

class FileInput final : public ByteInput {
  public:
    explicit FileInput(const std::string& path) : name_(path == "-" ? "standard input" : path) {
        if (path == "-") {
            file_ = stdin;
            return;
        }
        file_ = std::fopen(path.c_str(), "rb");
        if (file_ == nullptr) {
            throw ToolError(SystemErrorText("cannot open " + path));
        }
        owned_ = true;
    }
    ~FileInput() override {
        if (owned_) {
            std::fclose(file_);
        }
    }
    FileInput(const FileInput&) = delete;
    FileInput& operator=(const FileInput&) = delete;

    Bytes Read(size_t size) override {
        Bytes out(size, '\0');
        size_t filled = 0;
        // fread may come back short on a pipe; keep reading so that only the end is short.
        while (filled < size) {
            size_t got = std::fread(out.data() + filled, 1, size - filled, file_);
            filled += got;
            if (got == 0) {
                if (std::ferror(file_) != 0) {
                    throw ToolError(SystemErrorText("cannot read " + name_));
                }
                break;
            }
        }
        out.resize(filled);
        return out;
    }
    const std::string& Name() const override { return name_; }

  private:
    std::string name_;
    std::FILE* file_ = nullptr;
    bool owned_ = false;
};

// Length of the UTF-8 sequence that `lead` starts; 0 for a continuation or invalid byte.
size_t SequenceLength(unsigned char lead) {
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC0 && lead < 0xE0) {
        return 2;
    }
    if (lead >= 0xE0 && lead < 0xF0) {
        return 3;
    }
    if (lead >= 0xF0 && lead < 0xF8) {
        return 4;
    }
    return 0;
}

// Where an incomplete sequence at the end of `bytes` begins; bytes.size() when none.
size_t IncompleteTailStart(std::string_view bytes) {
    size_t size = bytes.size();
    for (size_t back = 1; back <= 3 && back <= size; ++back) {
        auto byte = static_cast<unsigned char>(bytes[size - back]);
        if ((byte & 0xC0) == 0x80) {
            continue;  // continuation byte: look further back for the lead
        }
        size_t need = SequenceLength(byte);
        return need > back ? size - back : size;
    }
    return size;
}

// Cuts the first piece off `buffer`: up to and including its last line feed, or everything
// when it holds none or the input is finished.
template <class Str>
Str TakePiece(Str& buffer, bool finished) {
    size_t cut = buffer.size();
    if (!finished) {
        size_t lastLf = buffer.rfind(static_cast<typename Str::value_type>('\n'));
        if (lastLf != Str::npos) {
            cut = lastLf + 1;
        }
    }
    Str piece = buffer.substr(0, cut);
    buffer.erase(0, cut);
    return piece;
}

class TextSource final : public PieceSource {
  public:
    TextSource(std::unique_ptr<ByteInput> input, bool plainBody, TextInspector inspect,
               bool dotStuff)
        : input_(std::move(input)), shaper_(dotStuff, plainBody), inspect_(std::move(inspect)) {}

    Bytes Next() override {
        while (!finished_ && buffer_.size() < kTextPieceUnits) {
            Bytes raw = input_->Read(kTextReadBytes);
            consumed_ += raw.size();
            if (raw.empty()) {
                buffer_ += shaper_.Feed(decoder_.Finish());
                buffer_ += shaper_.Finish();
                finished_ = true;
            } else {
                buffer_ += shaper_.Feed(decoder_.Feed(raw));
            }
        }
        Text piece = TakePiece(buffer_, finished_);
        if (inspect_) {
            inspect_(piece);
        }
        return TextToUtf16Le(piece);
    }
    uint64_t Consumed() const override { return consumed_; }

  private:
    std::unique_ptr<ByteInput> input_;
    Utf8PieceDecoder decoder_;
    TextShaper<Text> shaper_;
    TextInspector inspect_;
    Text buffer_;
    bool finished_ = false;
    uint64_t consumed_ = 0;
};

class ByteTextSource final : public PieceSource {
  public:
    ByteTextSource(std::unique_ptr<ByteInput> input, bool dotStuff)
        : input_(std::move(input)), shaper_(dotStuff, false) {}

    Bytes Next() override {
        while (!finished_ && buffer_.size() < kTextPieceUnits) {
            Bytes raw = input_->Read(kTextReadBytes);
            consumed_ += raw.size();
            if (raw.empty()) {
                buffer_ += shaper_.Finish();
                finished_ = true;
            } else {
                buffer_ += shaper_.Feed(raw);
            }
        }
        return TakePiece(buffer_, finished_);
    }
    uint64_t Consumed() const override { return consumed_; }

  private:
    std::unique_ptr<ByteInput> input_;
    TextShaper<Bytes> shaper_;
    Bytes buffer_;
    bool finished_ = false;
    uint64_t consumed_ = 0;
};

// Base64 lines of 57 bytes each (76 characters), the bytes of a line cut between two pieces
// waiting for the next one.
class Base64TextSource final : public PieceSource {
  public:
    explicit Base64TextSource(std::unique_ptr<ByteInput> input)
        : text_(std::move(input), false), codec_(MakeCodec()) {}

    Bytes Next() override {
        constexpr size_t kLineBytes = 57;
        Bytes out;
        while (out.empty() && !finished_) {
            Bytes piece = text_.Next();
            finished_ = piece.empty();
            pending_ += piece;
            const size_t whole =
                finished_ ? pending_.size() : pending_.size() / kLineBytes * kLineBytes;
            Bytes lines;
            for (size_t at = 0; at < whole; at += kLineBytes) {
                codec_->AppendBase64(
                    std::string_view(pending_).substr(at, std::min(kLineBytes, whole - at)), lines);
                lines += "\r\n";
            }
            pending_.erase(0, whole);
            lastLineEnd_.Feed(lines, out);
        }
        return TextToUtf16Le(AsciiToText(out));
    }
    uint64_t Consumed() const override { return text_.Consumed(); }

  private:
    ByteTextSource text_;
    std::unique_ptr<Codec> codec_;
    Bytes pending_;
    FinalLineEndDropper<Bytes> lastLineEnd_;
    bool finished_ = false;
};

class CheckedUtf8Input final : public ByteInput {
  public:
    CheckedUtf8Input(std::unique_ptr<ByteInput> input, std::string what)
        : input_(std::move(input)), what_(std::move(what)) {}

    Bytes Read(size_t size) override {
        Bytes piece = input_->Read(size);
        tail_ += piece;
        const size_t complete = piece.empty() ? tail_.size() : IncompleteTailStart(tail_);
        const size_t bad = FirstInvalidUtf8(std::string_view(tail_).substr(0, complete));
        if (bad != std::string_view::npos) {
            throw ToolError(NotUtf8(what_, offset_ + bad));
        }
        offset_ += complete;
        tail_.erase(0, complete);
        return piece;
    }
    const std::string& Name() const override { return input_->Name(); }

  private:
    std::unique_ptr<ByteInput> input_;
    std::string what_;
    std::string tail_;  // a sequence that the next piece completes
    uint64_t offset_ = 0;
};

class AttachmentSource final : public PieceSource {
  public:
    explicit AttachmentSource(std::unique_ptr<ByteInput> input) : input_(std::move(input)) {}

    Bytes Next() override {
        Bytes piece = input_->Read(kAttachmentPieceBytes);
        consumed_ += piece.size();
        return piece;
    }
    uint64_t Consumed() const override { return consumed_; }

  private:
    std::unique_ptr<ByteInput> input_;
    uint64_t consumed_ = 0;
};

class EmptySource final : public PieceSource {
  public:
    Bytes Next() override { return {}; }
    uint64_t Consumed() const override { return 0; }
};

}  // namespace

std::unique_ptr<ByteInput> OpenFileInput(const std::string& path) {
    return std::make_unique<FileInput>(path);
}

Text Utf8PieceDecoder::Feed(std::string_view bytes) {
    tail_.append(bytes);
    size_t complete = IncompleteTailStart(tail_);
    Text text = Utf8ToText(std::string_view(tail_).substr(0, complete));
    tail_.erase(0, complete);
    return text;
}

Text Utf8PieceDecoder::Finish() {
    Text text = Utf8ToText(tail_);
    tail_.clear();
    return text;
}

template <class Str>
void LineEndNormaliser<Str>::Feed(const Str& piece, Str& out) {
    using Char = typename Str::value_type;
    constexpr auto cr = static_cast<Char>('\r');
    constexpr auto lf = static_cast<Char>('\n');
    out.reserve(out.size() + piece.size() + 2);
    for (Char c : piece) {
        if (pendingCr_) {
            out += cr;
            out += lf;
            pendingCr_ = false;
            if (c == lf) {
                continue;  // the LF of a CRLF already written
            }
        }
        if (c == cr) {
            pendingCr_ = true;
        } else if (c == lf) {
            out += cr;
            out += lf;
        } else {
            out += c;
        }
    }
}

template <class Str>
void LineEndNormaliser<Str>::Finish(Str& out) {
    if (pendingCr_) {
        out += static_cast<typename Str::value_type>('\r');
        out += static_cast<typename Str::value_type>('\n');
        pendingCr_ = false;
    }
}

template <class Str>
void DotStuffer<Str>::Feed(const Str& piece, Str& out) {
    using Char = typename Str::value_type;
    out.reserve(out.size() + piece.size());
    for (Char c : piece) {
        if (atLineStart_ && c == static_cast<Char>('.')) {
            out += c;
        }
        out += c;
        atLineStart_ = c == static_cast<Char>('\n');
    }
}

template <class Str>
void FinalLineEndDropper<Str>::Feed(const Str& piece, Str& out) {
    using Char = typename Str::value_type;
    if (piece.empty()) {
        return;
    }
    if (heldCrLf_) {
        out += static_cast<Char>('\r');
        out += static_cast<Char>('\n');
        heldCrLf_ = false;
    }
    // The piece is CRLF-normalised, so a trailing LF always has its CR in the same piece.
    size_t size = piece.size();
    if (size >= 2 && piece[size - 1] == static_cast<Char>('\n')) {
        out.append(piece, 0, size - 2);
        heldCrLf_ = true;
    } else {
        out += piece;
    }
}

template <class Str>
Str TextShaper<Str>::Feed(const Str& piece) {
    Str normalised;
    lineEnds_.Feed(piece, normalised);
    return Pass(normalised);
}

template <class Str>
Str TextShaper<Str>::Finish() {
    Str normalised;
    lineEnds_.Finish(normalised);
    return Pass(normalised);
}

template <class Str>
Str TextShaper<Str>::Pass(const Str& normalised) {
    Str stuffed;
    if (dotStuff_) {
        dots_.Feed(normalised, stuffed);
    } else {
        stuffed = normalised;
    }
    if (!dropFinalLineEnd_) {
        return stuffed;
    }
    Str out;
    finalLineEnd_.Feed(stuffed, out);
    return out;
}

template class LineEndNormaliser<Text>;
template class LineEndNormaliser<Bytes>;
template class DotStuffer<Text>;
template class DotStuffer<Bytes>;
template class FinalLineEndDropper<Text>;
template class FinalLineEndDropper<Bytes>;
template class TextShaper<Text>;
template class TextShaper<Bytes>;

std::unique_ptr<PieceSource> MakeTextSource(std::unique_ptr<ByteInput> input, bool plainBody,
                                            TextInspector inspect, bool dotStuff) {
    return std::make_unique<TextSource>(std::move(input), plainBody, std::move(inspect), dotStuff);
}

std::unique_ptr<PieceSource> MakeByteTextSource(std::unique_ptr<ByteInput> input, bool dotStuff) {
    return std::make_unique<ByteTextSource>(std::move(input), dotStuff);
}

std::unique_ptr<PieceSource> MakeBase64TextSource(std::unique_ptr<ByteInput> input) {
    return std::make_unique<Base64TextSource>(std::move(input));
}

std::unique_ptr<ByteInput> RequireUtf8(std::unique_ptr<ByteInput> input, const std::string& what) {
    return std::make_unique<CheckedUtf8Input>(std::move(input), what);
}

void RequireUtf8File(const std::string& path, const std::string& what) {
    constexpr size_t kReadBytes = 64 * size_t{1024};
    auto input = RequireUtf8(OpenFileInput(path), what);
    while (!input->Read(kReadBytes).empty()) {
    }
}

std::string NotUtf8(const std::string& what, uint64_t offset) {
    return what + ": the byte at offset " + std::to_string(offset) +
           " is not UTF-8 (zefmail reads text as UTF-8; convert it first, e.g. with iconv)";
}

std::unique_ptr<PieceSource> MakeAttachmentSource(std::unique_ptr<ByteInput> input) {
    return std::make_unique<AttachmentSource>(std::move(input));
}

std::unique_ptr<PieceSource> MakeEmptySource() {
    return std::make_unique<EmptySource>();
}

}  // namespace zef::zefmail
