#pragma once
// The server addresses the program talks to. Each is compiled in and can be
// overridden at run time by the environment variable of the same name
// (VRN_RELEASE_BASE_URL, ...), which is how staging and tests point the program
// at another server.

#include <QString>

// The base address of the release stream, ending in "/".
QString ReleaseBaseUrl();
// The base address of the beta stream, ending in "/".
QString BetaBaseUrl();
QString CounterReleaseUrl();
QString CounterBetaUrl();
QString ProductSiteUrl();
