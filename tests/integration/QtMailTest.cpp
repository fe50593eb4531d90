// qt-mail's window against the servers of run_with_servers.py (ZEF_IT_* in the environment):
// fills the form with Japanese text and an attachment, sends, fetches over POP3 and over IMAP,
// and finds the message in the inbox both times with its decoded subject and sender, the same
// row either way. Saves the window as qt-mail.png here.
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

#include "MailWindow.h"

class QtMailTest : public QObject {
    Q_OBJECT

  private slots:
    void SendsAndFetchesJapaneseMailWithAnAttachment() {
        MailWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QString subject = QStringLiteral("四半期の報告書について");
        for (const auto& [name, text] :
             {std::pair{"smtpPort", qEnvironmentVariable("ZEF_IT_SMTP_PORT")},
              std::pair{"user", QStringLiteral("qtmail")},
              std::pair{"password", qEnvironmentVariable("ZEF_IT_POP3_PASS")},
              std::pair{"name", QStringLiteral("山田 花子")},
              std::pair{"from", QStringLiteral("sender@example.jp")},
              std::pair{"to", QStringLiteral("qtmail@zef-test.localhost")},
              std::pair{"subject", subject}}) {
            window.findChild<QLineEdit*>(name)->setText(text);  // keyClicks types ASCII only
        }
        window.findChild<QPlainTextEdit*>("body")->setPlainText(
            QStringLiteral("皆様\n報告書を添付します。ご確認ください。"));
        QTemporaryDir folder;
        QFile attachment(folder.filePath(QStringLiteral("報告書.bin")));
        QVERIFY(attachment.open(QIODevice::WriteOnly));
        attachment.write(QByteArray(30000, '\xA5'));
        attachment.close();
        window.AddAttachment(attachment.fileName());

        const auto status = [&] { return window.statusBar()->currentMessage(); };
        QTest::mouseClick(window.findChild<QPushButton*>("send"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("送信しました"), 20000);
        QCOMPARE(window.findChild<QProgressBar*>("progress")->value(), 100);

        // Each reader in turn: the protocol's index in the window's choice, its port field and
        // the server's port. The other protocol's port is left empty, so that a fetch over the
        // wrong one fails.
        QList<QStringList> inboxes;
        const QString popPort = qEnvironmentVariable("ZEF_IT_POP3_PORT");
        const QString imapPort = qEnvironmentVariable("ZEF_IT_IMAP_PORT");
        for (const auto& [protocol, pop, imap] :
             {std::tuple{0, popPort, QString()}, std::tuple{1, QString(), imapPort}}) {
            window.findChild<QComboBox*>("protocol")->setCurrentIndex(protocol);
            window.findChild<QLineEdit*>("popPort")->setText(pop);
            window.findChild<QLineEdit*>("imapPort")->setText(imap);
            window.statusBar()->clearMessage();  // the first fetch's "done" is not the second's
            QTest::mouseClick(window.findChild<QPushButton*>("fetch"), Qt::LeftButton);
            QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("受信しました"), 20000);
            const QTreeWidget* inbox = window.findChild<QTreeWidget*>("inbox");
            QCOMPARE(inbox->topLevelItemCount(), 1);
            const QTreeWidgetItem* row = inbox->topLevelItem(0);
            inboxes.append(QStringList{row->text(0), row->text(1), row->text(2), row->text(3)});
        }
        const QStringList& row = inboxes.front();
        QCOMPARE(row[0], subject);
        QCOMPARE(row[1], QStringLiteral("山田 花子 <sender@example.jp>"));
        QVERIFY(!row[2].isEmpty());
        QVERIFY2(row[3].section(' ', 0, 0).toInt() > 40000, "the attachment came along");
        QCOMPARE(inboxes.back(), row);  // IMAP shows what POP3 showed
        QVERIFY(window.grab().save(QStringLiteral("qt-mail.png")));
    }
};

QTEST_MAIN(QtMailTest)
#include "QtMailTest.moc"
