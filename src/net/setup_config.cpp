#include "net/setup_config.h"

#include "build_config.h"

#include <QtGlobal>

namespace {

QString setting(const char* name, const char* compiledDefault)
{
    const QString value = qEnvironmentVariable(name).trimmed();
    return value.isEmpty() ? QString::fromUtf8(compiledDefault) : value;
}

// A file name is appended to a base address directly, so the base must end in "/".
QString baseAddress(const char* name, const char* compiledDefault)
{
    QString base = setting(name, compiledDefault);
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    return base;
}

}  // namespace

QString ReleaseBaseUrl()
{
    return baseAddress("VRN_RELEASE_BASE_URL", VRN_RELEASE_BASE_URL_DEFAULT);
}

QString BetaBaseUrl()
{
    return baseAddress("VRN_BETA_BASE_URL", VRN_BETA_BASE_URL_DEFAULT);
}

QString CounterReleaseUrl()
{
    return setting("VRN_COUNTER_RELEASE_URL", VRN_COUNTER_RELEASE_URL_DEFAULT);
}

QString CounterBetaUrl()
{
    return setting("VRN_COUNTER_BETA_URL", VRN_COUNTER_BETA_URL_DEFAULT);
}

QString ProductSiteUrl()
{
    return setting("VRN_PRODUCT_SITE_URL", VRN_PRODUCT_SITE_URL_DEFAULT);
}
