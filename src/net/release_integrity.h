#pragma once
// Whether a release on the server is the one its publisher made: the descriptor
// "system.xml" carries a detached Ed25519 signature ("system.xml.sig", base64) of
// its exact bytes, and the SHA-256 of the archive and of the new setup program.

#include <QByteArray>
#include <QString>

#include <memory>

struct evp_md_ctx_st;

namespace ReleaseIntegrity {

// A SHA-256 taken piece by piece, so that a download is hashed as its bytes arrive
// rather than read a second time.
class Sha256Stream {
public:
    Sha256Stream();
    ~Sha256Stream();
    Sha256Stream(const Sha256Stream&) = delete;
    Sha256Stream& operator=(const Sha256Stream&) = delete;

    void add(const char* data, qsizetype size);
    // The digest of everything added, as 64 lower-case hexadecimal digits (empty if
    // the hashing failed); the stream then starts again from nothing.
    QByteArray hex();

private:
    std::unique_ptr<evp_md_ctx_st, void (*)(evp_md_ctx_st*)> m_context;
    bool m_failed = false;
};

// The SHA-256 of a file as 64 lower-case hexadecimal digits; empty when the file
// cannot be read.
QByteArray Sha256OfFile(const QString& path);

// Whether `signatureBase64` is a valid Ed25519 signature of `data` by the key
// `publicKeyBase64` (32 raw bytes, base64). Anything malformed is simply invalid.
bool IsValidSignature(const QByteArray& data, const QByteArray& signatureBase64, const QString& publicKeyBase64);

}  // namespace ReleaseIntegrity
