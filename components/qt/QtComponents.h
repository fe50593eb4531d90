// The controls on Qt's event loop: build the components with MakeQtComponents() on the thread
// that runs the loop (a QCoreApplication or QApplication must exist) and hand them to smtpZef
// or popZef. Everything then runs on that loop: no Asio loop, no thread of the library's own.
//
//     zef::smtpZef mail(zef::MakeQtComponents());
#pragma once

#include <memory>

#include "components/Components.h"

namespace zef {

// TCP (IPv4 and IPv6) on QSslSocket, with TLS through Qt's OpenSSL backend, on the Qt loop of
// the calling thread.
std::unique_ptr<Wire> MakeQtWire();

// A QTimer on the Qt loop of the calling thread.
std::unique_ptr<Timer> MakeQtTimer();

// The Qt wire and timer, with the real converter, codec and MD5.
Components MakeQtComponents();

}  // namespace zef
