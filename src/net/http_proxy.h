#pragma once
// Carries the user's manually set proxy over to the program's HTTP clients. The
// setting is read anew for every client; automatic configuration and the bypass
// list are not consulted.

#include "platform/platform.h"

#include <QString>

#include <optional>

class THttpClient;

class CProxyInformation {
public:
    // Reads the user's setting.
    CProxyInformation();
    // Takes a proxy list as the system would give it; nothing means no proxy is set.
    explicit CProxyInformation(const std::optional<QString>& proxyList,
                               const std::optional<platform::ProxyCredentials>& credentials = std::nullopt);
    virtual ~CProxyInformation() = default;

    // Applies the current setting to `HTTPClinet`; without a setting its proxy stays as it is.
    static void Setup(THttpClient& HTTPClinet);

    bool Enabled() const { return FEnabled; }
    int Port() const { return FPort; }
    QString Server() const { return FServer; }

private:
    // Takes host and port from "host:port" or from the http entry of "http=host:port;https=...";
    // an IPv6 host is written in brackets ("[::1]:3128") and keeps them.
    void ParseProxyString(const QString& text);

    bool FEnabled = false;
    int FPort = 0;
    QString FServer;
    // The user and password the setting carries; never logged.
    std::optional<platform::ProxyCredentials> FCredentials;
};
