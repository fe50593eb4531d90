// qt-mail's window: server settings, a send form with attachments, an inbox read over POP3 or
// IMAP (one folder), a progress bar fed by the controls' events, their caption in the status
// bar and a cancel button. popZef and imapZef raise the same events, so one set of handlers
// serves both. The controls run on Qt's event loop through zef::MakeQtComponents(): no other
// loop, no thread.
#pragma once

#include <QMainWindow>

#include <memory>
#include <vector>

#include "imap/imapZef.h"
#include "pop/popZef.h"
#include "smtp/smtpZef.h"

class QComboBox;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;

class MailWindow : public QMainWindow {
  public:
    MailWindow();
    ~MailWindow() override;
    MailWindow(const MailWindow&) = delete;
    MailWindow& operator=(const MailWindow&) = delete;

    void AddAttachment(const QString& path);
    void Send();
    void Fetch();
    void Cancel();

  private:
    enum class Running { kNothing, kSend, kPop, kImap };
    struct Attachment {
        QString path;
        zef::Bytes data;
    };
    struct Incoming {
        QString subject, sender, date;
        long size = 0;
    };

    QWidget* BuildSettings();
    QWidget* BuildSendForm();
    QWidget* BuildInbox();
    void MakeSmtp();
    void MakeReaders();
    void ShowMessagesOf(zef::MailboxEvents& reader);
    void SetRunning(Running running);
    void Progress(long long done, long long total);
    void Finished(const QString& what, long code, const zef::Text& message);
    void AnswerPartHead(long depth, long part, zef::Text& format, zef::Text& type, zef::Text& name,
                        zef::Text& charset, zef::Text& encoding);
    void HandPartData(long part, zef::Bytes& data);

    // The widgets, owned by the window.
    QLineEdit *host_ = nullptr, *smtpPort_ = nullptr, *popPort_ = nullptr, *user_ = nullptr;
    QComboBox* protocol_ = nullptr;
    QLineEdit *imapPort_ = nullptr, *folder_ = nullptr;
    QLineEdit *password_ = nullptr, *name_ = nullptr, *from_ = nullptr, *to_ = nullptr;
    QLineEdit* subject_ = nullptr;
    QPlainTextEdit* body_ = nullptr;
    QListWidget* attachmentList_ = nullptr;
    QTreeWidget* inbox_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QPushButton *send_ = nullptr, *fetch_ = nullptr, *cancel_ = nullptr;

    std::unique_ptr<zef::smtpZef> smtp_;
    std::unique_ptr<zef::popZef> pop_;
    std::unique_ptr<zef::imapZef> imap_;
    std::vector<Attachment> attachments_;
    std::vector<bool> partSent_;  // per part of the message being sent: its data has gone
    long long sendTotal_ = 0, sendDone_ = 0;
    long messageCount_ = 0;
    Incoming incoming_;
    Running running_ = Running::kNothing;
};
