#include "upgradeserver.h"

#include "config/profilefile.h"

using namespace Qt::Literals::StringLiterals;

namespace garvina {

QString upgradeVersionPath()
{
    return u"/up/up.txt"_s;
}

QString upgradePackagePath()
{
    return u"/up/garvinaserver.zip"_s;
}

QString readUpgradeServerSetting(const ProfileFile &config)
{
    return config.read(u"upgrade"_s, u"server"_s, QString()).trimmed();
}

QUrl upgradeServerUrl(const QString &setting, const QString &path)
{
    QString text = setting.trimmed();
    if (text.isEmpty())
        return {};
    if (!text.contains(u"://"_s))
        text.prepend(u"http://"_s);
    QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != u"http"_s && scheme != u"https"_s) || url.host().isEmpty() ||
        !url.userInfo().isEmpty() || url.hasQuery() || url.hasFragment())
        return {};
    QString folder = url.path();
    while (folder.endsWith(u'/'))
        folder.chop(1);
    url.setPath(folder + path);
    return url;
}

} // namespace garvina
