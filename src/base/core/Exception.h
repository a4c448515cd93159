#pragma once

#include <QException>
#include <QString>

// The one failure type of the core. `message` is meant for the user, `code` for callers that
// branch on the kind of failure ("ERR_QUERY", "ERR_START_TRANSACTION", "0", ...).
class Exception : public QException
{
public:
    Exception(const QString &message, const QString &code = QStringLiteral("0"));
    Exception(const Exception &other) = default;
    ~Exception() override;

    QString message() const { return m_message; }
    QString code() const { return m_code; }
    bool isAbort() const { return m_abort; }

    const char *what() const noexcept override;
    void raise() const override { throw *this; }
    Exception *clone() const override { return new Exception(*this); }

protected:
    QString m_message;
    QString m_code;
    bool m_abort = false;

private:
    QByteArray m_what;
};

// Leaves an operation silently: the event guard neither logs nor shows it.
class EAbort : public Exception
{
public:
    EAbort();
    void raise() const override { throw *this; }
    EAbort *clone() const override { return new EAbort(*this); }
};
