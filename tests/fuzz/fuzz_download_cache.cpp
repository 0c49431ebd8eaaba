// The description a run left beside its cached part, which another run (or anyone who
// could write the cache) may have changed: what is taken names a usable validator and a
// length, and what the cache writes reads back as it was written.
#include "fuzz_target.h"

#include "net/download_cache.h"
#include "net/reply_headers.h"

FUZZ_TARGET(download_cache)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString url = QStringLiteral("http://127.0.0.1/vrn/setup/vrnsetup.zip");
    const auto description = TCachedDownload::ParseDescription(bytes, url);
    if (!description)
        return;
    FUZZ_EXPECT(ReplyHeaders::IsUsableValidator(description->validator));
    FUZZ_EXPECT(description->total > 0);
    const QByteArray written = url.toUtf8() + '\n' + description->validator + '\n' + QByteArray::number(description->total) + '\n';
    const auto again = TCachedDownload::ParseDescription(written, url);
    FUZZ_EXPECT(again && again->validator == description->validator && again->total == description->total);
}
