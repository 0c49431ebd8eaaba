#pragma once
// The program's errors. Every error carries a class name and a message: the log
// writes them as "ClassName: message" and the standard error report shows them.

#include <QString>
#include <exception>
#include <stdexcept>

class Exception : public std::runtime_error {
public:
    explicit Exception(const QString& message);
    QString message() const { return m_message; }
    virtual QString className() const { return QStringLiteral("Exception"); }

private:
    QString m_message;
};

// Declares an error class whose class name is its C++ name.
#define VRN_DECLARE_ERROR(Name, Base)                                        \
    class Name : public Base {                                               \
    public:                                                                  \
        using Base::Base;                                                    \
        QString className() const override { return QStringLiteral(#Name); } \
    };

VRN_DECLARE_ERROR(EOSError, Exception)
// A file could not be created: "Cannot create file "<path>". <reason>".
VRN_DECLARE_ERROR(EFCreateError, EOSError)
// A file could not be read, written or deleted.
VRN_DECLARE_ERROR(EInOutError, EOSError)
// The private temporary folder is not safe to use.
VRN_DECLARE_ERROR(ETempFolderError, EOSError)
// A folder of the user's has a name the program cannot use.
VRN_DECLARE_ERROR(EFolderNameError, EOSError)
VRN_DECLARE_ERROR(ERegistryException, Exception)
// "Resource <name> not found".
VRN_DECLARE_ERROR(EResNotFound, Exception)

// "Cannot create file "<path>". <reason>"
EFCreateError fileCreateError(const QString& path, const QString& reason);
// "Cannot open file "<path>". <reason>", and the same for reading and writing.
EInOutError fileOpenError(const QString& path, const QString& reason);
EInOutError fileReadError(const QString& path, const QString& reason);
EInOutError fileWriteError(const QString& path, const QString& reason);

// The class name and message of any caught error: an Exception's own, and for the
// standard errors "std::exception" and what they say.
QString errorClassName(const std::exception& error);
QString errorMessage(const std::exception& error);
// Both as the log writes them: "ClassName: message".
QString errorText(const std::exception& error);
// The same for an error caught as it flew ("an unknown error" for what is no exception).
QString errorText(const std::exception_ptr& error);

// The text of an errno value as the system words it.
QString systemErrorText(int errorNumber);
