#include "core/Exception.h"

Exception::Exception(const QString &message, const QString &code)
    : m_message(message), m_code(code), m_what(message.toUtf8())
{
}

Exception::~Exception() = default;

const char *Exception::what() const noexcept { return m_what.constData(); }

EAbort::EAbort() : Exception(QString(), QStringLiteral("ABORT")) { m_abort = true; }
