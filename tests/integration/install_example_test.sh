#!/usr/bin/env bash
# Installs the build into a scratch prefix, builds examples/ against it with find_package(zef),
# and runs two of them against the servers of run_with_servers.py: send_note delivers into
# mailbox "summary", mailbox_summary lists it over POP3, then over IMAP (the same line).
# ZEF_EXAMPLE_FLAGS: compiler and linker flags the examples need to link this build (a sanitizer
# build's).
#   install_example_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix flags=${ZEF_EXAMPLE_FLAGS:-}

cmake --install "$1" --prefix "$prefix" >/dev/null
test -f "$prefix/lib/cmake/zef/zefConfig.cmake" -a -f "$prefix/include/zef/pop/popZef.h"
test "$(ls "$prefix/include/zef/imap")" = imapZef.h  # and no private imap header
test "$(ls "$prefix/include/zef/smtp")" = smtpZef.h  # and no private smtp header
# grep reads to the end: with -q it could quit early and fail the pipe with SIGPIPE.
"$prefix/bin/zefmail" send --help | grep "Examples:" >/dev/null

cmake -S "$2/examples" -B "$scratch/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
    >/dev/null
cmake --build "$scratch/build" >/dev/null
"$scratch/build/send_note" 127.0.0.1 "$ZEF_IT_SMTP_PORT" note@example.jp summary@zef-test.localhost
summary=$(ZEF_PASSWORD="$ZEF_IT_POP3_PASS" "$scratch/build/mailbox_summary" 127.0.0.1 \
    "$ZEF_IT_POP3_PORT" summary)
echo "$summary"
test "$(grep -c . <<<"$summary")" -eq 1  # one message
grep "お知らせ" <<<"$summary" >/dev/null  # with its subject
over_imap=$(ZEF_PASSWORD="$ZEF_IT_POP3_PASS" "$scratch/build/mailbox_summary" 127.0.0.1 \
    "$ZEF_IT_IMAP_PORT" summary imap)
test "$over_imap" = "$summary"  # the same message, size and subject over IMAP
echo "installed package: headers, CMake package, zefmail and the examples work"
