#pragma once

#include <QString>

// The text of 用户信息: sign-in state, user name and the numbers of materials and memos.
class UserSummary final
{
public:
    // Made again from the current state; the window does so whenever the account changes.
    const QString &refresh(bool signedIn);
    const QString &text() const { return m_text; }

private:
    QString m_text;
    int m_materialCount = -1; // libraries are read-only while we run: counted once
};
