#include "platform/platform_errors.h"

#include <cstring>

Exception::Exception(const QString& message)
    : std::runtime_error(message.toStdString()), m_message(message)
{
}

QString errorClassName(const std::exception& error)
{
    const auto* own = dynamic_cast<const Exception*>(&error);
    return own ? own->className() : QStringLiteral("std::exception");
}

QString errorMessage(const std::exception& error)
{
    const auto* own = dynamic_cast<const Exception*>(&error);
    return own ? own->message() : QString::fromLocal8Bit(error.what());
}

QString errorText(const std::exception& error)
{
    return errorClassName(error) + QStringLiteral(": ") + errorMessage(error);
}

QString errorText(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& caught) {
        return errorText(caught);
    } catch (...) {
        return QStringLiteral("an unknown error");
    }
}

EFCreateError fileCreateError(const QString& path, const QString& reason)
{
    return EFCreateError(QStringLiteral("Cannot create file \"%1\". %2").arg(path, reason));
}

EInOutError fileOpenError(const QString& path, const QString& reason)
{
    return EInOutError(QStringLiteral("Cannot open file \"%1\". %2").arg(path, reason));
}

EInOutError fileReadError(const QString& path, const QString& reason)
{
    return EInOutError(QStringLiteral("Cannot read file \"%1\". %2").arg(path, reason));
}

EInOutError fileWriteError(const QString& path, const QString& reason)
{
    return EInOutError(QStringLiteral("Cannot write file \"%1\". %2").arg(path, reason));
}

QString systemErrorText(int errorNumber)
{
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}
