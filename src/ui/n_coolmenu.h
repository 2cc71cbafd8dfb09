#pragma once

#include <QString>

namespace garvina {

/// \brief The one menu renderer shared by every menu of the console.
class n_coolmenu
{
public:
    void of_initialize() { m_initialized = true; }
    void of_set2k3style() { m_style2k3 = true; }
    void of_setresourcefile(const QString &as_file) { m_resourceFile = as_file; }

    bool initialized() const { return m_initialized; }
    const QString &resourceFile() const { return m_resourceFile; }

private:
    bool m_initialized = false;
    bool m_style2k3 = false;
    QString m_resourceFile;
};

} // namespace garvina
