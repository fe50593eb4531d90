// The numbers and texts of SocketError for what Qt's sockets report, in one place, so that the
// Qt wire reports a failure as the Asio wire does: system errors by their errno and its text,
// certificate findings by OpenSSL's verification result, other handshake failures by
// OpenSSL's error code and reason.
#pragma once

#include <QAbstractSocket>
#include <QSslError>
#include <QString>

#include "components/qt/QtConnection.h"

namespace zef::qt {

// The error a socket reported outside the handshake, with the given source.
Failure SocketFailure(QAbstractSocket::SocketError error, const char* source);

// The certificate check's first finding; `peerName` is the name or address it was checked for.
Failure CertificateFailure(const QSslError& finding, const std::string& peerName);

// A handshake that failed without a certificate finding; `qtText` is the socket's errorString.
Failure HandshakeFailure(QAbstractSocket::SocketError error, const QString& qtText);

}  // namespace zef::qt
