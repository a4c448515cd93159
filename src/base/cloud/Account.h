#pragma once

#include <QString>

namespace account {

// The account a user name stands for: NFKC, outer spaces of every kind trimmed, case folded —
// the service keys accounts by the same steps, so "u1", "U1　" and "ｕ１" are one user on both sides.
QString foldUserName(const QString &name);
bool sameUser(const QString &a, const QString &b);

// The first failed check of the login form, in the dialog's order; empty when all pass.
// Unsynced rows of another user refuse the change (CloudSync::canChangeUser).
QString loginCheck(const QString &userName, const QString &password);
// The first failed check of the registration form, in the dialog's order; empty when all pass.
QString registerCheck(const QString &userName, const QString &email, const QString &email2,
                      const QString &password, const QString &password2);
bool isValidEmail(const QString &email);
// After a successful sign-in: the typed name and choices; the password only when it is to be
// saved (saveSysParams enciphers it). Saves the parameters.
void rememberSignIn(const QString &userName, const QString &password, bool saveLogin, bool autoLogin);

} // namespace account
