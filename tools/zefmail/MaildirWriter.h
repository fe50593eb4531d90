// `fetch --maildir DIR`: each message as its raw bytes in a file of its own, written into
// DIR/tmp/ and flushed, then linked into DIR/new/ (and the folder flushed), so a mail reader
// sees a message in new/ only complete. The names are unique as Maildir readers expect:
// "<seconds>.M<microseconds>P<pid>Q<count>.<host>". DIR, tmp/, new/ and cur/ are made when
// missing.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "tools/zefmail/DurableFiles.h"
#include "tools/zefmail/MailDrop.h"

namespace zef::zefmail {

class MaildirWriter final : public MailDrop {
  public:
    // Lines end in LF, or CR LF with `crlf`. Throws ToolError when a folder cannot be made.
    MaildirWriter(std::filesystem::path dir, bool crlf);
    ~MaildirWriter() override;
    MaildirWriter(const MaildirWriter&) = delete;
    MaildirWriter& operator=(const MaildirWriter&) = delete;

    std::string Describe() const override { return dir_.string() + " (Maildir)"; }

  private:
    void Open() override;
    void Write(std::string_view line) override;
    void Commit() override;
    void Abandon() noexcept override;
    std::string UniqueName();

    std::filesystem::path dir_;
    std::string lineEnd_;
    std::string host_;  // the host name with '/' and ':' written as \057 and \072
    unsigned long count_ = 0;
    std::string name_;
    std::unique_ptr<DurableFile> file_;
};

}  // namespace zef::zefmail
