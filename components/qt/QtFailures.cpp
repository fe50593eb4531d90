#include "components/qt/QtFailures.h"

#include <openssl/x509_vfy.h>

#include <QHostAddress>

#include <cerrno>
#include <cstring>
#include <string>

namespace zef::qt {

namespace {

constexpr const char* kTlsSource = "zef.Wire.Tls";
constexpr long kEndOfStream = 2;  // the number the Asio wire gives a handshake cut short

// Qt folds errno into its own kinds; each kind stands for the errno that causes it.
int ErrnoOf(QAbstractSocket::SocketError error) {
    switch (error) {
        case QAbstractSocket::ConnectionRefusedError:
            return ECONNREFUSED;
        case QAbstractSocket::RemoteHostClosedError:
            return ECONNRESET;
        case QAbstractSocket::SocketAccessError:
            return EACCES;
        case QAbstractSocket::SocketResourceError:
            return EMFILE;
        case QAbstractSocket::SocketTimeoutError:
            return ETIMEDOUT;
        case QAbstractSocket::NetworkError:
            return ENETUNREACH;
        case QAbstractSocket::AddressInUseError:
            return EADDRINUSE;
        case QAbstractSocket::SocketAddressNotAvailableError:
            return EADDRNOTAVAIL;
        case QAbstractSocket::UnsupportedSocketOperationError:
            return EAFNOSUPPORT;
        case QAbstractSocket::TemporaryError:
            return EAGAIN;
        default:
            return EIO;
    }
}

// QSslError's kinds are OpenSSL's verification results under other names.
long VerifyResultOf(QSslError::SslError finding, bool peerIsAddress) {
    switch (finding) {
        case QSslError::UnableToGetIssuerCertificate:
            return X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT;
        case QSslError::UnableToDecryptCertificateSignature:
            return X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE;
        case QSslError::UnableToDecodeIssuerPublicKey:
            return X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY;
        case QSslError::CertificateSignatureFailed:
            return X509_V_ERR_CERT_SIGNATURE_FAILURE;
        case QSslError::CertificateNotYetValid:
            return X509_V_ERR_CERT_NOT_YET_VALID;
        case QSslError::CertificateExpired:
            return X509_V_ERR_CERT_HAS_EXPIRED;
        case QSslError::InvalidNotBeforeField:
            return X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD;
        case QSslError::InvalidNotAfterField:
            return X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD;
        case QSslError::SelfSignedCertificate:
            return X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT;
        case QSslError::SelfSignedCertificateInChain:
            return X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN;
        case QSslError::UnableToGetLocalIssuerCertificate:
            return X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY;
        case QSslError::UnableToVerifyFirstCertificate:
            return X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE;
        case QSslError::CertificateRevoked:
            return X509_V_ERR_CERT_REVOKED;
        case QSslError::InvalidCaCertificate:
            return X509_V_ERR_INVALID_CA;
        case QSslError::PathLengthExceeded:
            return X509_V_ERR_PATH_LENGTH_EXCEEDED;
        case QSslError::InvalidPurpose:
            return X509_V_ERR_INVALID_PURPOSE;
        case QSslError::CertificateUntrusted:
            return X509_V_ERR_CERT_UNTRUSTED;
        case QSslError::CertificateRejected:
            return X509_V_ERR_CERT_REJECTED;
        case QSslError::HostNameMismatch:
            return peerIsAddress ? X509_V_ERR_IP_ADDRESS_MISMATCH : X509_V_ERR_HOSTNAME_MISMATCH;
        default:
            return X509_V_ERR_UNSPECIFIED;
    }
}

}  // namespace

Failure SocketFailure(QAbstractSocket::SocketError error, const char* source) {
    const int number = ErrnoOf(error);
    return {number, std::strerror(number), source};
}

Failure CertificateFailure(const QSslError& finding, const std::string& peerName) {
    const bool peerIsAddress = !QHostAddress(QString::fromStdString(peerName)).isNull();
    const long number = VerifyResultOf(finding.error(), peerIsAddress);
    const std::string reason = number == X509_V_ERR_UNSPECIFIED
                                   ? finding.errorString().toStdString()
                                   : X509_verify_cert_error_string(number);
    return {number, "certificate verify failed: " + reason, kTlsSource};
}

// Qt words OpenSSL's failure as "...: error:0A00010B:SSL routines::wrong version number": the
// code is the hexadecimal field after "error:", the reason what follows the last colon.
Failure HandshakeFailure(QAbstractSocket::SocketError error, const QString& qtText) {
    if (error == QAbstractSocket::RemoteHostClosedError) {
        return {kEndOfStream, "TLS handshake failed: the server closed the connection", kTlsSource};
    }
    if (error != QAbstractSocket::SslHandshakeFailedError) {
        const Failure system = SocketFailure(error, kTlsSource);
        return {system.number, "TLS handshake failed: " + system.description, kTlsSource};
    }
    const std::string text = qtText.toStdString();
    const std::size_t code = text.find("error:");
    const std::size_t reason = text.rfind(':');
    long number = 0;
    if (code != std::string::npos) {
        number = std::strtol(text.c_str() + code + 6, nullptr, 16);
    }
    const std::string why =
        reason != std::string::npos && reason + 1 < text.size() ? text.substr(reason + 1) : text;
    return {number, "TLS handshake failed: " + why, kTlsSource};
}

}  // namespace zef::qt
