#!/usr/bin/env bash
# Installs the build into a scratch prefix, builds examples/ against the installed package
# with find_package(zef), and runs both programs against the servers of run_with_servers.py:
# send_note delivers into the mailbox "summary", mailbox_summary lists it.
#   install_example_test.sh BUILD_DIR SOURCE_DIR
# ZEF_EXAMPLE_FLAGS: compiler and linker flags the examples need to link this build (the
# sanitizer flags of a sanitizer build).
set -euo pipefail
build_dir=$1
source_dir=$2
extra_flags=${ZEF_EXAMPLE_FLAGS:-}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
test -f "$prefix/lib/cmake/zef/zefConfig.cmake"
test -f "$prefix/include/zef/smtp/smtpZef.h"
test -f "$prefix/include/zef/pop/popZef.h"
if [ -d "$prefix/include/zef/smtp" ] && ls "$prefix/include/zef/smtp" | grep -qv '^smtpZef.h$'; then
    echo "private smtp headers were installed" >&2
    exit 1
fi
"$prefix/bin/zefmail" send --help | grep "Examples:" >/dev/null

cmake -S "$source_dir/examples" -B "$scratch/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_FLAGS="$extra_flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$extra_flags" >/dev/null
cmake --build "$scratch/build" >/dev/null

"$scratch/build/send_note" 127.0.0.1 "$ZEF_IT_SMTP_PORT" note@example.jp summary@zef-test.localhost
summary=$(ZEF_PASSWORD="$ZEF_IT_POP3_PASS" "$scratch/build/mailbox_summary" 127.0.0.1 \
    "$ZEF_IT_POP3_PORT" summary)
echo "$summary"
lines=$(printf '%s\n' "$summary" | grep -c .)
if [ "$lines" -ne 1 ] || ! printf '%s\n' "$summary" | grep -q "お知らせ"; then
    echo "expected one message with the subject お知らせ" >&2
    exit 1
fi
echo "installed package: headers, CMake package, zefmail and both examples work"
