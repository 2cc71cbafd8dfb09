#pragma once

class QCoreApplication;

namespace garvina {

/// \brief Installs Qt's own Simplified Chinese translations (Debian's qt6-translations-l10n), so that
/// the standard buttons and dialogs speak Chinese whatever the machine's locale.
///
/// False when they are not installed; the standard texts then stay English.
bool installChineseTranslations(QCoreApplication &app);

} // namespace garvina
