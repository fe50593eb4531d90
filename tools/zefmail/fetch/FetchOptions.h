// The options of `zefmail fetch`.
#pragma once

#include <string>

#include "tools/zefmail/cli/CommandLine.h"

namespace zef::zefmail {

struct FetchOptions : CommonOptions {
    std::string protocol = "pop3";  // pop3 or imap
    std::string folder;             // IMAP: the folder read ("" until settled: INBOX)
    bool idle = false;              // IMAP: after the walk, wait for new mail until stopped
    std::string search;             // IMAP: which messages are read ("" reads all)
    bool listFolders = false;       // IMAP: the folders are printed and no mail is read
    bool markSeen = false;          // IMAP: what is saved and kept is flagged \Seen
    std::string user;
    bool apop = false;
    // "" (USER/PASS or --apop), plain, scram-sha-256, xoauth2, oauthbearer (the secret is a
    // token) or auto (the strongest the server offers for a password).
    std::string auth;
    long topLines = -1;  // -1: no TOP
    bool keep = false;
    long keepDays = -1;  // -1: kept for good with --keep; N: deleted N days after being saved
    bool deleteOnError = false;
    bool noPipelining = false;
    std::string out;
    std::string maildir;    // --maildir: raw messages into a Maildir
    std::string mbox;       // --mbox: raw messages appended to an mbox file
    std::string mda;        // --mda: each message on the standard input of a command
    long mdaTimeout = 600;  // --mda-timeout: seconds a command may take for one message
    bool crlf = false;      // lines of --maildir, --mbox and --mda end in CR LF instead of LF
    long maxSize = -1;      // --max-size: larger messages stay on the server, unread
    bool events = false;
    bool text = false;

    bool Imap() const { return protocol == "imap"; }
    // The port given, else the protocol's: 110 (995 with implicit TLS), IMAP's 143 (993).
    int Port() const { return Imap() ? PortOr(143, 993) : PortOr(110, 995); }
};

extern const CommandRules<FetchOptions> kFetchRules;

}  // namespace zef::zefmail
