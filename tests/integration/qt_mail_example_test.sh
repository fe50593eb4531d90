#!/usr/bin/env bash
# Installs the build into WORK/prefix, builds examples/qt-mail with its QTest against it in
# WORK/build (kept, so that a second run only rebuilds what changed) and runs the test under
# Xvfb against the servers of run_with_servers.py; the window's screenshot is WORK/qt-mail.png.
# Exits 77 (skipped) without xvfb-run.
#   qt_mail_example_test.sh BUILD_DIR SOURCE_DIR WORK
set -euo pipefail
if ! command -v xvfb-run >/dev/null; then
    echo "skipped: xvfb-run (Debian's xvfb) is missing"
    exit 77
fi
work=$3 flags=${ZEF_EXAMPLE_FLAGS:-}
cmake --install "$1" --prefix "$work/prefix" >/dev/null
cmake -S "$2/examples/qt-mail" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$work/prefix" -DQT_MAIL_TEST="$2/tests/integration/QtMailTest.cpp" \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$work/build" >/dev/null
cd "$work"
# In a sanitizer build, leaks inside the system's D-Bus library are not this project's.
export LSAN_OPTIONS="suppressions=$2/tests/integration/qt_mail_lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
QT_QPA_PLATFORM=xcb xvfb-run -a "$work/build/qt_mail_test"
