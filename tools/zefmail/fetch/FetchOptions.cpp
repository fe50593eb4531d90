#include "tools/zefmail/fetch/FetchOptions.h"
#include "imap/CommandText.h"

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <set>

namespace zef::zefmail {

namespace {

const std::set<std::string> kProtocols = {"pop3", "imap"};
const std::set<std::string> kPopMechanisms = {"plain", "scram-sha-256", "xoauth2", "oauthbearer",
                                              "auto"};

const char* const kFetchExamples = R"(
Examples:
  Save every message under ./mail and delete each one once it is safely on disk:
    export ZEFMAIL_PASSWORD='secret'
    zefmail fetch --server pop.example.jp --user taro --out mail

  Save and keep everything on the server, with the text parts also as UTF-8 .txt files;
  run again, it saves only what has come since:
    zefmail fetch --server pop.example.jp --user taro --out mail --keep --text

  From cron: save new mail, and delete it on the server a week after it was saved:
    zefmail fetch --server pop.example.jp --user taro --out mail --keep-days 7 --quiet

  The settings of an account of ~/.config/zefmail/config.toml, the password from a keyring:
    zefmail fetch --account work --password-command 'secret-tool lookup zefmail work'

  Every account of that file in turn, into the folders each one names:
    zefmail fetch --all-accounts

  Deliver into a Maildir and an mbox file for mail readers:
    zefmail fetch --server pop.example.jp --user taro --maildir ~/Maildir --mbox ~/mbox

  Each message to procmail, the sender as its -f; messages over 10 MB stay on the server:
    zefmail fetch --server pop.example.jp --user taro --mda 'procmail -f %F' --max-size 10000000

  Every event of the mailbox as JSON lines, nothing deleted:
    zefmail fetch --server pop.example.jp --user taro --events | jq .

  An account that takes only OAuth 2.0 tokens, the token from a helper program:
    zefmail fetch --server pop.example.jp --user taro@example.jp --tls implicit \
      --auth xoauth2 --password-command 'oauth-helper token taro' --out mail

  An IMAP folder instead of a POP3 mailbox, over implicit TLS (port 993); then stay and save
  new mail as it arrives, until Ctrl-C:
    zefmail fetch --protocol imap --tls implicit --server imap.example.jp --user taro \
      --folder Archive --out mail --keep --idle

  Over TLS: implicit TLS (port 995 unless --port), or STLS on port 110 with a CA of your own:
    zefmail fetch --server pop.example.jp --user taro --tls implicit --out mail
    zefmail fetch --server pop.internal --user taro --tls starttls --ca-file company-ca.pem \
      --out mail

Each message goes to DIR/<n>/: message.json (id, uidl, size, headers, parts) and one file
per part with its decoded bytes; n counts on from the highest folder number in DIR, so a later
run never meets an earlier folder.
--maildir DIR puts each message, as received, into DIR/new/ (through DIR/tmp/) under a unique
name; --mbox FILE appends it to FILE in mboxrd form, under an fcntl lock and FILE.lock. Lines
end in LF unless --crlf. --mda CMD runs CMD (/bin/sh -c) for each message and writes the raw
message, as received and without a "From " line, to its standard input (%F in CMD is the sender,
already quoted for the shell: write it bare); the message counts as delivered when CMD exits 0,
and stays on the server otherwise (exit 75: deferred, try again later; so is a message whose
CMD has not ended after --mda-timeout seconds, 600 unless given, and is killed). --out, --maildir, --mbox
and --mda can be given together; a message is then deleted on the server only once it is on
disk in every one of them (and CMD took it). Without any of them (or with --keep) nothing is
deleted on the server. What was saved is remembered beside the first of them (.zefmail-state;
for --mda alone in $XDG_STATE_HOME/zefmail/USER@SERVER/), so a later run fetches only new mail
and --keep-days N can delete messages N days after they were saved. --max-size N leaves a
message larger than N bytes (as LIST says) on the server, unread, and names it on standard
error.
With --tls the login waits for the TLS handshake, and the server's certificate is checked as
for send (--ca-file, --insecure).
--auth logs in with AUTH after asking the server's capabilities (CAPA): xoauth2 sends the token
after the server's go-ahead, as large providers require; a refused token is reported with what
the server said about it (status, scope). auto picks OAUTHBEARER or XOAUTH2 when the secret
looks like a token (as for send), else SCRAM-SHA-256, then PLAIN, then USER/PASS (or APOP with
--apop), whichever the server offers first. The password or token is never shown.
When the server announces PIPELINING (CAPA), the next message's commands go out while a
message is still being read, so the server prepares it meanwhile (over IMAP, the next UID
FETCH, which every server takes); --no-pipelining sends one command at a time.
--protocol imap reads one folder (--folder, default INBOX) of an IMAP server (ports 143 and
993) with the same outputs and choices; a message's id is UIDVALIDITY.UID, and the state
remembers each folder apart. Deletions are committed after the walk (UID EXPUNGE of exactly
the messages saved); with nothing to delete the folder is opened read-only. --idle waits for
new mail after the walk (IDLE) and saves it as it comes. --search UNSEEN, "SINCE 1-Dec-2026"
or "UNSEEN SINCE 1-Dec-2026" reads only those messages of the folder; --mark-seen flags the
messages saved and kept on the server \Seen (one that could not be saved stays unseen);
--list-folders prints the mailbox's folders (name, then a tab and their attributes) and reads
no mail.
--all-accounts reads the accounts of the configuration file one after the other, in the
order of the file; --account given more than once reads those, in the order given. Each
account's settings come first, then the rest of the command line; its lines on standard error
begin with [NAME], and a failure (a refused setting too) does not stop the next account. The
exit status is then the worst of theirs: 0, 4, 1, then 2.
Exit status: 0 when the mailbox was read and every message written, 1 otherwise, 2 for a
command line that cannot be used, 4 for a failure worth trying again later: the server could
not be reached or stopped answering, or refused with [IN-USE], [LOGIN-DELAY] or [SYS/TEMP], or
--mda deferred a message and nothing else failed.)";

void DefineFetch(CLI::App& fetch, FetchOptions& options) {
    AddCommonOptions(fetch, options,
                     "Port of the server (default 110, 995 with --tls implicit; IMAP: 143, 993)");
    // Read by the command before these options (SeveralAccounts); here for the help.
    fetch.add_flag("--all-accounts")
        ->description(
            "Read every account of ~/.config/zefmail/config.toml in turn (or give --account "
            "more than once)");
    fetch.add_option("--protocol", options.protocol, "pop3 (the default) or imap")
        ->transform(CLI::IsMember(kProtocols, CLI::ignore_case));
    fetch.add_option("--folder", options.folder, "IMAP: the folder to read (default INBOX)");
    fetch.add_flag("--idle", options.idle,
                   "IMAP: after reading the folder, stay and fetch new mail as it arrives, "
                   "until Ctrl-C");
    fetch.add_option("--search", options.search,
                     "IMAP: read only these messages: ALL (the default), UNSEEN, \"SINCE "
                     "1-Dec-2026\" or \"UNSEEN SINCE 1-Dec-2026\"");
    fetch.add_flag("--mark-seen", options.markSeen,
                   "IMAP: flag the messages saved and kept on the server as seen");
    fetch.add_flag("--list-folders", options.listFolders,
                   "IMAP: print the folders of the mailbox and read no mail");
    fetch.add_option("--user", options.user, "Mailbox user name");
    fetch.add_flag("--apop", options.apop, "Log in with APOP instead of USER/PASS");
    fetch
        .add_option("--auth", options.auth,
                    "Log in with AUTH: plain, scram-sha-256, xoauth2 or oauthbearer (the "
                    "password is then an OAuth token), or auto (the strongest the server "
                    "offers for a password)")
        ->transform(CLI::IsMember(kPopMechanisms, CLI::ignore_case));
    fetch.add_option("--top-lines", options.topLines, "Also ask for the first N lines (TOP)")
        ->check(CLI::NonNegativeNumber);
    fetch.add_flag("--keep", options.keep,
                   "Delete nothing on the server; with --out, later runs fetch only new mail");
    fetch.add_flag("--delete-on-error", options.deleteOnError,
                   "Commit the deletions made so far even when the dialogue fails");
    fetch.add_flag("--no-pipelining", options.noPipelining,
                   "One command at a time, even when the server announces PIPELINING");
    fetch.add_option("--out", options.out, "Folder for the messages (created when missing)");
    fetch
        .add_option("--keep-days", options.keepDays,
                    "Keep saved messages on the server for N days, then delete them")
        ->check(CLI::Range(0L, 100L * 365));
    fetch.add_option("--maildir", options.maildir,
                     "Maildir for the messages as received (tmp/ new/ cur/ made when missing)");
    fetch.add_option("--mbox", options.mbox, "mbox file the messages are appended to (mboxrd)");
    fetch.add_option("--mda", options.mda,
                     "Command (run with /bin/sh -c) that takes each message on its standard "
                     "input, raw, without a \"From \" line; %F is the sender, quoted for the "
                     "shell");
    fetch
        .add_option("--mda-timeout", options.mdaTimeout,
                    "Seconds the --mda command may take for one message before it is killed and "
                    "the message deferred (default 600)")
        ->check(CLI::Range(1L, 24L * 3600));
    fetch.add_flag("--crlf", options.crlf,
                   "Lines in --maildir, --mbox and --mda end in CR LF, not LF");
    fetch
        .add_option("--max-size", options.maxSize,
                    "Leave messages larger than N bytes on the server, unread")
        ->check(CLI::NonNegativeNumber);
    fetch.add_flag("--events", options.events, "Every event as a JSON line on standard output");
    fetch.add_flag("--text", options.text, "Text parts also as UTF-8 .txt files");
    fetch.footer(kFetchExamples);
}

// --maildir must be a folder and --mbox a file, where they exist.
std::optional<std::string> CheckMailboxPaths(const FetchOptions& options) {
    struct stat info {};
    if (!options.maildir.empty() && ::stat(options.maildir.c_str(), &info) == 0 &&
        !S_ISDIR(info.st_mode)) {
        return "--maildir " + options.maildir + ": exists and is not a folder";
    }
    if (!options.mbox.empty() && ::stat(options.mbox.c_str(), &info) == 0 &&
        S_ISDIR(info.st_mode)) {
        return "--mbox " + options.mbox + ": is a folder, not a file";
    }
    if (options.crlf && options.maildir.empty() && options.mbox.empty() && options.mda.empty()) {
        return "--crlf requires --maildir or --mbox or --mda";
    }
    return std::nullopt;
}

// The options of one protocol are refused with the other, rather than ignored.
std::optional<std::string> CheckProtocol(FetchOptions& options) {
    if (!options.Imap()) {
        const char* imapOnly = options.idle              ? "--idle"
                               : !options.folder.empty() ? "--folder"
                               : !options.search.empty() ? "--search"
                               : options.markSeen        ? "--mark-seen"
                               : options.listFolders     ? "--list-folders"
                                                         : nullptr;
        if (imapOnly != nullptr) {
            return std::string(imapOnly) + " is for IMAP only: give --protocol imap as well";
        }
        return std::nullopt;
    }
    const char* popOnly = options.apop ? "--apop" : options.topLines >= 0 ? "--top-lines" : nullptr;
    if (popOnly != nullptr) {
        return std::string(popOnly) + " is for POP3 only: not with --protocol imap";
    }
    if (options.folder.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        return "--folder: a folder name has no line ends or NUL";
    }
    if (options.folder.empty()) {
        options.folder = "INBOX";
    }
    if (!options.search.empty() && !imap::SearchCriteria(options.search)) {
        return "--search " + options.search +
               ": use ALL, UNSEEN, \"SINCE 1-Dec-2026\" or \"UNSEEN SINCE 1-Dec-2026\"";
    }
    const bool saving = !options.out.empty() || !options.maildir.empty() || !options.mbox.empty() ||
                        !options.mda.empty();
    if (options.listFolders && (options.idle || saving)) {
        return "--list-folders reads no mail: not with --idle or an output";
    }
    if (options.markSeen && !saving) {
        return "--mark-seen requires --out, --maildir, --mbox or --mda";
    }
    return std::nullopt;
}

std::optional<std::string> CheckFetch(FetchOptions& options, const EnvLookup& env) {
    if (auto error = CheckCommon(options)) {
        return error;
    }
    if (options.user.empty()) {
        return "--user is required";
    }
    // Keeping for N days is keeping, until the N days are over.
    options.keep = options.keep || options.keepDays >= 0;
    // Checked here rather than by the parser, because an account may give the folder.
    if (options.out.empty() && options.text) {
        return "--text requires --out";
    }
    if (options.out.empty() && options.maildir.empty() && options.mbox.empty() &&
        options.mda.empty() && options.keepDays >= 0) {
        return "--keep-days requires --out, --maildir, --mbox or --mda";
    }
    if (!options.out.empty()) {
        struct stat info {};
        if (::stat(options.out.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) {
            return "--out " + options.out + ": exists and is not a folder";
        }
    }
    if (auto error = CheckMailboxPaths(options)) {
        return error;
    }
    if (auto error = CheckProtocol(options)) {
        return error;
    }
    if (options.apop && !options.auth.empty() && options.auth != "auto") {
        return "--apop and --auth " + options.auth + " are two different logins; give one";
    }
    return CheckPassword(options, env, "the mailbox password");
}

// An account's auth may name a mechanism only SMTP knows: fetch then logs in with USER/PASS.
bool TakesFromAccount(const std::string& option, const std::string& value) {
    std::string mechanism = value;
    std::transform(mechanism.begin(), mechanism.end(), mechanism.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return option != "--auth" || kPopMechanisms.count(mechanism) != 0;
}

}  // namespace

const CommandRules<FetchOptions> kFetchRules = {
    {"fetch", "Read a POP3 mailbox or an IMAP folder", "fetch", 2, {}, TakesFromAccount},
    DefineFetch,
    CheckFetch};

}  // namespace zef::zefmail
