#pragma once
// Whether a release on the server is the one its publisher made: the descriptor
// "system.xml" carries a detached Ed25519 signature ("system.xml.sig", base64) of
// its exact bytes, and the SHA-256 of the archive and of the new setup program.

#include <QByteArray>
#include <QString>

namespace ReleaseIntegrity {

// The publisher's public key compiled into the program (base64); empty when the
// build verifies nothing. Deliberately not overridable from the environment.
QString CompiledPublicKey();

// The SHA-256 of a file as 64 lower-case hexadecimal digits; empty when the file
// cannot be read.
QByteArray Sha256OfFile(const QString& path);

// Whether `signatureBase64` is a valid Ed25519 signature of `data` by the key
// `publicKeyBase64` (32 raw bytes, base64). Anything malformed is simply invalid.
bool IsValidSignature(const QByteArray& data, const QByteArray& signatureBase64, const QString& publicKeyBase64);

}  // namespace ReleaseIntegrity
