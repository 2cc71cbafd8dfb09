#pragma once

#include "config/profilefile.h"

#include <QString>

namespace garvina {

/// \brief Asks the user for the console's password.
///
/// The production implementation opens w_pass (DialogPasswordPrompt in ui/w_pass.h); tests answer
/// through one of their own.
class PasswordPrompt
{
public:
    virtual ~PasswordPrompt() = default;
    /// True only when the user gave the right password (or none is configured).
    virtual bool askPassword() = 0;
};

/// \brief The password guard in front of the settings, the restore and leaving the console.
///
/// Reads \a key ("settingpass" or "exitpass") of section "system" from \a config, default "0".
/// Only when it is exactly "1" is \a prompt asked, and the guarded action may go on only when the
/// prompt grants access; any other value (also "2", an empty value or no key) lets it go on at once.
inline bool passwordGuard(const ProfileFile &config, const QString &key, PasswordPrompt &prompt)
{
    if (config.read(QStringLiteral("system"), key, QStringLiteral("0")) != QLatin1String("1"))
        return true;
    return prompt.askPassword();
}

} // namespace garvina
