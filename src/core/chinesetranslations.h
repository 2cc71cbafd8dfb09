#pragma once

class QCoreApplication;

namespace garvina {

/// \brief Makes zh_CN the program's own locale (QLocale's default: dates, numbers) and installs Qt's
/// own Simplified Chinese translations (Debian's qt6-translations-l10n), so that the standard buttons
/// and dialogs speak Chinese whatever the machine's locale.
///
/// False when the translations are not installed; the standard texts then stay English.
bool installChineseTranslations(QCoreApplication &app);

} // namespace garvina
