// `fetch --maildir DIR`: each message as its raw bytes in a file of its own, written into
// DIR/tmp/, then moved into DIR/new/, so a mail reader sees a message in new/ only complete. The
// names are unique as Maildir readers expect:
// "<seconds>.M<microseconds>P<pid>Q<count>.<host>". DIR, tmp/, new/ and cur/ are made when
// missing.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "tools/zefmail/fetch/DurableFiles.h"
#include "tools/zefmail/fetch/Output.h"

namespace zef::zefmail {

class MaildirWriter final : public MailDrop {
  public:
    // Lines end in LF, or CR LF with `crlf`. Throws ToolError when a folder cannot be made.
    // `writeBackEarly`: see OutputFile.
    MaildirWriter(std::filesystem::path dir, bool crlf, bool writeBackEarly = false);
    ~MaildirWriter() override;
    MaildirWriter(const MaildirWriter&) = delete;
    MaildirWriter& operator=(const MaildirWriter&) = delete;

    std::string Describe() const override { return dir_.string() + " (Maildir)"; }
    std::filesystem::path Location() const override { return dir_; }
    std::string Place() const override { return name_; }
    // In new/, or in cur/ where a mail reader moved it, with ":2,<flags>" after the name.
    bool StillThere(const std::string& place) const override;

  private:
    void Open() override;
    void Write(std::string_view line) override;
    void Close() override;
    void Commit() override;
    void Abandon() noexcept override;
    std::string UniqueName();

    std::filesystem::path dir_;
    std::string lineEnd_;
    bool writeBackEarly_;
    std::string host_;  // the host name with '/' and ':' written as \057 and \072
    unsigned long count_ = 0;
    std::string name_;
    std::unique_ptr<OutputFile> file_;
};

}  // namespace zef::zefmail
