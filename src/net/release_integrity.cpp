#include "net/release_integrity.h"

#include <QFile>

#include <openssl/evp.h>

#include <memory>

namespace ReleaseIntegrity {

namespace {

using DigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

QByteArray strictBase64(const QByteArray& text)
{
    const auto decoded = QByteArray::fromBase64Encoding(text.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    return decoded ? decoded.decoded : QByteArray();
}

}  // namespace

Sha256Stream::Sha256Stream() : m_context(EVP_MD_CTX_new(), EVP_MD_CTX_free)
{
    m_failed = !m_context || EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr) != 1;
}

Sha256Stream::~Sha256Stream() = default;

void Sha256Stream::add(const char* data, qsizetype size)
{
    if (!m_failed && size > 0)
        m_failed = EVP_DigestUpdate(m_context.get(), data, static_cast<size_t>(size)) != 1;
}

QByteArray Sha256Stream::hex()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool finished = !m_failed && EVP_DigestFinal_ex(m_context.get(), digest, &length) == 1;
    m_failed = !m_context || EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr) != 1;
    return finished ? QByteArray(reinterpret_cast<const char*>(digest), static_cast<qsizetype>(length)).toHex()
                    : QByteArray();
}

QByteArray Sha256OfFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    Sha256Stream stream;
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (qint64 got; (got = file.read(block.data(), block.size())) > 0;)
        stream.add(block.constData(), got);
    const QByteArray digest = stream.hex();
    return file.error() == QFile::NoError ? digest : QByteArray();
}

bool IsValidSignature(const QByteArray& data, const QByteArray& signatureBase64, const QString& publicKeyBase64)
{
    const QByteArray rawKey = strictBase64(publicKeyBase64.toLatin1());
    const QByteArray signature = strictBase64(signatureBase64);
    if (rawKey.size() != 32 || signature.size() != 64)
        return false;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(rawKey.constData()),
                                    static_cast<size_t>(rawKey.size())),
        EVP_PKEY_free);
    DigestContext context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!key || !context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.constData()),
                            static_cast<size_t>(signature.size()),
                            reinterpret_cast<const unsigned char*>(data.constData()), static_cast<size_t>(data.size()))
           == 1;
}

}  // namespace ReleaseIntegrity
