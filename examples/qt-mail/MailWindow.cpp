#include "MailWindow.h"

#include <QComboBox>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "common/Unicode.h"
#include "components/qt/QtComponents.h"

namespace {

zef::Text ToText(const QString& text) {
    return text.toStdU16String();
}

QString FromText(const zef::Text& text) {
    return QString::fromStdU16String(text);
}

QLineEdit* Field(const QString& name, const QString& value) {
    auto* field = new QLineEdit(value);
    field->setObjectName(name);
    return field;
}

QPushButton* Button(const QString& name, const QString& label) {
    auto* button = new QPushButton(label);
    button->setObjectName(name);
    return button;
}

bool IsField(const zef::Text& name, const char16_t* wanted) {
    return QString::compare(FromText(name), QString::fromUtf16(wanted), Qt::CaseInsensitive) == 0;
}

// The settings both readers have, under the same names.
template <class Reader>
void SetConnection(Reader& reader, const QLineEdit* port) {
    reader.Port(ToText(port->text()));
    reader.ConnectTimeout(10);
    reader.TransTimeout(30);
}

}  // namespace

MailWindow::MailWindow() {
    setWindowTitle(QStringLiteral("zef メール"));
    auto* central = new QWidget;
    auto* layout = new QVBoxLayout(central);
    layout->addWidget(BuildSettings());
    layout->addWidget(BuildSendForm());
    layout->addWidget(BuildInbox());
    auto* bottom = new QHBoxLayout;
    progress_ = new QProgressBar;
    progress_->setObjectName("progress");
    cancel_ = Button("cancel", QStringLiteral("中止"));
    cancel_->setEnabled(false);
    bottom->addWidget(progress_);
    bottom->addWidget(cancel_);
    layout->addLayout(bottom);
    setCentralWidget(central);
    statusBar()->showMessage(QStringLiteral("準備完了"));
    resize(720, 820);

    connect(send_, &QPushButton::clicked, this, &MailWindow::Send);
    connect(fetch_, &QPushButton::clicked, this, &MailWindow::Fetch);
    connect(cancel_, &QPushButton::clicked, this, &MailWindow::Cancel);
    MakeSmtp();
    MakeReaders();
}

MailWindow::~MailWindow() = default;

QWidget* MailWindow::BuildSettings() {
    auto* box = new QGroupBox(QStringLiteral("サーバー設定"));
    auto* form = new QFormLayout(box);
    form->addRow(QStringLiteral("サーバー"), host_ = Field("host", "127.0.0.1"));
    form->addRow(QStringLiteral("SMTP ポート"), smtpPort_ = Field("smtpPort", "25"));
    protocol_ = new QComboBox;
    protocol_->setObjectName("protocol");
    protocol_->addItems({QStringLiteral("POP3"), QStringLiteral("IMAP")});
    form->addRow(QStringLiteral("受信方式"), protocol_);
    form->addRow(QStringLiteral("POP3 ポート"), popPort_ = Field("popPort", "110"));
    form->addRow(QStringLiteral("IMAP ポート"), imapPort_ = Field("imapPort", "143"));
    form->addRow(QStringLiteral("フォルダー"), folder_ = Field("folder", "INBOX"));
    const auto showProtocol = [this] {  // only the chosen protocol's fields can be edited
        const bool imap = protocol_->currentIndex() == 1;
        popPort_->setEnabled(!imap);
        imapPort_->setEnabled(imap);
        folder_->setEnabled(imap);
    };
    connect(protocol_, &QComboBox::currentIndexChanged, this, showProtocol);
    showProtocol();
    form->addRow(QStringLiteral("ユーザー名"), user_ = Field("user", ""));
    form->addRow(QStringLiteral("パスワード"), password_ = Field("password", ""));
    password_->setEchoMode(QLineEdit::Password);
    return box;
}

QWidget* MailWindow::BuildSendForm() {
    auto* box = new QGroupBox(QStringLiteral("送信"));
    auto* form = new QFormLayout(box);
    form->addRow(QStringLiteral("差出人名"), name_ = Field("name", ""));
    form->addRow(QStringLiteral("差出人"), from_ = Field("from", ""));
    form->addRow(QStringLiteral("宛先"), to_ = Field("to", ""));
    form->addRow(QStringLiteral("件名"), subject_ = Field("subject", ""));
    body_ = new QPlainTextEdit;
    body_->setObjectName("body");
    form->addRow(QStringLiteral("本文"), body_);
    attachmentList_ = new QListWidget;
    attachmentList_->setMaximumHeight(60);
    auto* attach = Button("attach", QStringLiteral("添付ファイルを追加…"));
    connect(attach, &QPushButton::clicked, this, [this] {
        for (const QString& path : QFileDialog::getOpenFileNames(this, QStringLiteral("添付"))) {
            AddAttachment(path);
        }
    });
    form->addRow(QStringLiteral("添付"), attachmentList_);
    form->addRow(QString(), attach);
    form->addRow(QString(), send_ = Button("send", QStringLiteral("送信")));
    return box;
}

QWidget* MailWindow::BuildInbox() {
    auto* box = new QGroupBox(QStringLiteral("受信箱"));
    auto* layout = new QVBoxLayout(box);
    inbox_ = new QTreeWidget;
    inbox_->setObjectName("inbox");
    inbox_->setRootIsDecorated(false);
    inbox_->setHeaderLabels({QStringLiteral("件名"), QStringLiteral("差出人"),
                             QStringLiteral("日付"), QStringLiteral("サイズ")});
    inbox_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    layout->addWidget(inbox_);
    layout->addWidget(fetch_ = Button("fetch", QStringLiteral("受信")));
    return box;
}

void MailWindow::AddAttachment(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        statusBar()->showMessage(QStringLiteral("開けません: ") + path);
        return;
    }
    const QByteArray data = file.readAll();
    attachments_.push_back({path, zef::Bytes(data.constData(), static_cast<size_t>(data.size()))});
    attachmentList_->addItem(QFileInfo(path).fileName());
}

// The message is multipart/mixed: the text first, then each attachment. MimeHead asks for
// each part's header, MimeBody for its data until a piece comes back empty.
void MailWindow::MakeSmtp() {
    smtp_ = std::make_unique<zef::smtpZef>(zef::MakeQtComponents());
    smtp_->CaptionChanged = [this](const zef::Text& caption) {
        statusBar()->showMessage(FromText(caption));
    };
    smtp_->MimeHead = [this](long depth, long part, zef::Text& format, zef::Text& type,
                             zef::Text& name, zef::Text& charset, zef::Text& encoding,
                             zef::Text& /*additional*/) {
        AnswerPartHead(depth, part, format, type, name, charset, encoding);
    };
    smtp_->MimeBody = [this](long /*depth*/, long part, zef::Bytes& data) {
        HandPartData(part, data);
    };
    smtp_->Done = [this](long code, const zef::Text& message) {
        Finished(QStringLiteral("送信"), code, message);
    };
}

void MailWindow::AnswerPartHead(long depth, long part, zef::Text& format, zef::Text& type,
                                zef::Text& name, zef::Text& charset, zef::Text& encoding) {
    if (depth != 1 || part < 1 || part > static_cast<long>(attachments_.size()) + 1) {
        return;  // no such part: the empty type closes the multipart
    }
    if (part == 1) {  // the text, handed over as UTF-16LE and sent as ISO-2022-JP
        format = u"Unicode";
        type = u"text/plain";
        charset = u"iso-2022-jp";
        encoding = u"7bit";
        return;
    }
    format = u"Binary";
    type = u"application/octet-stream";
    encoding = u"base64";
    name = ToText(QFileInfo(attachments_[static_cast<size_t>(part) - 2].path).fileName());
}

void MailWindow::HandPartData(long part, zef::Bytes& data) {
    const auto index = static_cast<size_t>(part - 1);
    if (index >= partSent_.size() || partSent_[index]) {
        return;  // an empty piece ends the part
    }
    partSent_[index] = true;
    data =
        part == 1 ? zef::TextToUtf16Le(ToText(body_->toPlainText())) : attachments_[index - 1].data;
    sendDone_ += static_cast<long long>(data.size());
    Progress(sendDone_, sendTotal_);
}

void MailWindow::Send() {
    sendDone_ = 0;
    sendTotal_ = body_->toPlainText().size() * 2;
    for (const Attachment& attachment : attachments_) {
        sendTotal_ += static_cast<long long>(attachment.data.size());
    }
    partSent_.assign(attachments_.size() + 1, false);
    const QString header =
        QStringLiteral("From: %1\r\nTo: %2\r\nSubject: %3\r\nDate: %4\r\n")
            .arg(QStringLiteral("%1 <%2>").arg(name_->text(), from_->text()), to_->text(),
                 subject_->text(), QDateTime::currentDateTime().toString(Qt::RFC2822Date));
    try {
        smtp_->Port(ToText(smtpPort_->text()));
        smtp_->ConnectTimeout(10);
        smtp_->TransTimeout(30);
        smtp_->FromAddr(ToText(from_->text()));
        smtp_->ToAddr(zef::StringArray::OneBased({ToText(to_->text())}));
        smtp_->MimeMultipart(u"mixed");
        SetRunning(Running::kSend);
        Progress(0, sendTotal_);
        smtp_->Smtp(ToText(host_->text()), ToText(header));
    } catch (const std::exception& refused) {  // zef::Error: a setting the control refused
        SetRunning(Running::kNothing);
        statusBar()->showMessage(QStringLiteral("送信できません: ") + refused.what());
    }
}

// Each message is retrieved whole (TOP is skipped) and kept on the server; its header fields
// come decoded, encoded words and all. Both readers get the same handlers.
void MailWindow::MakeReaders() {
    pop_ = std::make_unique<zef::popZef>(zef::MakeQtComponents());
    imap_ = std::make_unique<zef::imapZef>(zef::MakeQtComponents());
    ShowMessagesOf(*pop_);
    ShowMessagesOf(*imap_);
}

void MailWindow::ShowMessagesOf(zef::MailboxEvents& reader) {
    reader.CaptionChanged = [this](const zef::Text& caption) {
        statusBar()->showMessage(FromText(caption));
    };
    reader.Stat = [this](long many, long /*octets*/) {
        messageCount_ = many;
        Progress(0, many);
    };
    reader.TopFirst = [](long /*id*/, bool& cancelTop) { cancelTop = true; };
    reader.RetrFirst = [this](long /*id*/, long much, bool& /*cancelRetr*/) {
        incoming_ = {};
        incoming_.size = much;
    };
    reader.MailHeadNext = [this](long /*id*/, const zef::Text& name, const zef::Text& value) {
        if (IsField(name, u"Subject")) {
            incoming_.subject = FromText(value);
        } else if (IsField(name, u"From")) {
            incoming_.sender = FromText(value);
        } else if (IsField(name, u"Date")) {
            incoming_.date = FromText(value);
        }
    };
    reader.RetrDone = [this](long id, bool& cancelDelete) {
        cancelDelete = true;
        auto* row = new QTreeWidgetItem({incoming_.subject, incoming_.sender, incoming_.date,
                                         QStringLiteral("%1 バイト").arg(incoming_.size)});
        inbox_->addTopLevelItem(row);
        Progress(id, messageCount_);
    };
    reader.Done = [this](long code, const zef::Text& message) {
        Finished(QStringLiteral("受信"), code, message);
    };
}

void MailWindow::Fetch() {
    inbox_->clear();
    messageCount_ = 0;
    const zef::Text host = ToText(host_->text()), user = ToText(user_->text());
    const zef::Text password = ToText(password_->text());
    try {
        Progress(0, 0);
        if (protocol_->currentIndex() == 1) {
            SetConnection(*imap_, imapPort_);
            imap_->Folder(ToText(folder_->text()));
            SetRunning(Running::kImap);
            imap_->imap(host, user, password, 0);
        } else {
            SetConnection(*pop_, popPort_);
            SetRunning(Running::kPop);
            pop_->pop(host, user, password, 0);
        }
    } catch (const std::exception& refused) {
        SetRunning(Running::kNothing);
        statusBar()->showMessage(QStringLiteral("受信できません: ") + refused.what());
    }
}

// A transfer stops at the next message with its Done; a send has no such call, so the
// control is dropped, which closes its connection, and a fresh one takes its place.
void MailWindow::Cancel() {
    if (running_ == Running::kPop) {
        pop_->Abend(true);
    } else if (running_ == Running::kImap) {
        imap_->Abend(true);
    } else if (running_ == Running::kSend) {
        MakeSmtp();
        SetRunning(Running::kNothing);
        statusBar()->showMessage(QStringLiteral("送信を中止しました"));
    }
}

void MailWindow::SetRunning(Running running) {
    running_ = running;
    send_->setEnabled(running == Running::kNothing);
    fetch_->setEnabled(running == Running::kNothing);
    cancel_->setEnabled(running != Running::kNothing);
}

void MailWindow::Progress(long long done, long long total) {
    const long long scale = total > 0 ? total : 1;
    progress_->setValue(static_cast<int>(done * 100 / scale));
}

void MailWindow::Finished(const QString& what, long code, const zef::Text& message) {
    SetRunning(Running::kNothing);
    if (code == 0) {
        statusBar()->showMessage(what + QStringLiteral("しました"));
        return;
    }
    statusBar()->showMessage(
        QStringLiteral("%1に失敗しました (%2): %3").arg(what).arg(code).arg(FromText(message)));
}
