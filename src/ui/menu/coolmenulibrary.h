#pragma once

#include <QColor>
#include <QHash>
#include <QIcon>
#include <QList>
#include <QPoint>
#include <QString>

#include <memory>
#include <optional>

class QWidget;

namespace garvina {

/// \brief The menu-drawing library: pictures, their binding to menu texts, looks and colours.
///
/// The library keeps what a menu needs to be drawn; CoolMenuStyle, installed for the application
/// or for one window, asks it for the look, the colours and the picture bound to an item's text
/// when it draws. Pictures are kept for the life of the library and addressed by their index.
class CoolMenuLibrary : public std::enable_shared_from_this<CoolMenuLibrary>
{
public:
    enum Look
    {
        LookNormal = 0,
        LookOffice2k = 1,
        LookOfficeXp = 2,
        LookOffice2k3 = 3
    };

    enum ColorSlot
    {
        SelectedColor = 0,
        MenuBackColor = 1,
        BitmapBackColor = 2,
        CheckedSelectedColor = 3,
        CheckedColor = 4,
        PenColor = 5,
        TextColor = 6,
        HighlightTextColor = 7,
        DisabledTextColor = 8,
        GradientStartColor = 9,
        GradientEndColor = 10,
        MenuBarColor = 11,
        ColorSlotCount = 12
    };

    /// One loaded picture and what it was loaded from.
    struct Image
    {
        QIcon icon;
        /// Picture number in the resource file; 0 for a picture from a file or a stock picture.
        int number = 0;
        /// The file or stock name the picture came from (empty for a number or a bound icon).
        QString source;
        /// The colour made transparent (0x00BBGGRR), when one was given.
        std::optional<quint32> transparentColor;
        /// The pixel whose colour is made transparent when no colour was given.
        QPoint transparentPixel;
    };

    struct ItemProps
    {
        bool bold = false;
        bool italic = false;
        bool underline = false;
        /// Text colour (0x00BBGGRR); 0 leaves the look's text colour.
        quint32 color = 0;
    };

    CoolMenuLibrary();
    ~CoolMenuLibrary();
    CoolMenuLibrary(const CoolMenuLibrary &) = delete;
    CoolMenuLibrary &operator=(const CoolMenuLibrary &) = delete;

    /// \brief Makes the library draw menus: those of the whole application when \a window is null,
    /// else the menus and the menu bar that \a window holds now.
    ///
    /// Returns false when there is no widget application to install into.
    bool installCoolMenu(QWidget *window);
    /// Gives the menus their ordinary drawing back.
    void uninstall();
    /// True while installed for the application.
    bool installedForApplication() const;

    /// \brief Registers \a file, a Qt binary resource file, as the source of numbered pictures.
    ///
    /// Returns false for a missing or unreadable file; pictures by number then fail to load.
    /// Giving the same file again keeps the one registration.
    bool setResourceFile(const QString &file);
    QString resourceFile() const { return m_resourceFile; }
    bool resourceFileLoaded() const { return !m_resourceRoot.isEmpty(); }

    void setMenuStyle(int look);
    int menuStyle() const { return m_look; }

    /// Sets colour slot \a slot (0..11) to \a color (0x00BBGGRR); other slot numbers are ignored.
    void setMenuColor(int slot, quint32 color);
    /// The colour a slot draws with now: the one set, or the look's default.
    QColor menuColor(int slot) const;
    /// Forgets every colour set, so that each slot takes the look's default again.
    void setDefaults();

    void setShadowEnabled(bool on);
    bool shadowEnabled() const { return m_shadow; }
    void setFlatMenu(bool on);
    bool flatMenu() const { return m_flat; }
    void setCoolMenubar(bool on);
    bool coolMenubar() const { return m_coolMenubar; }
    /// When on, the plain looks take their default colours from the current palette (so they
    /// follow a change of desktop theme) instead of the stock system colours.
    void setReactOnThemeChange(bool on);
    bool reactOnThemeChange() const { return m_reactOnThemeChange; }

    /// \brief The item showing \a oldText now shows \a newText: its picture and text style follow.
    /// Returns false when nothing was bound to \a oldText.
    bool changeMenuText(const QString &oldText, const QString &newText);

    /// Adds \a icon as a picture and binds it to \a menuText; its index, below 0 for a null icon.
    int addMenuImage(const QString &menuText, const QIcon &icon);

    void setMenuItemProps(const QString &menuText, bool bold, bool italic, bool underline, quint32 color);
    std::optional<ItemProps> menuItemProps(const QString &menuText) const;

    /// \brief Loads picture \a number of the resource file.
    ///
    /// \a color, when given, is the colour to make transparent; without one, the colour of the pixel
    /// \a x, \a y is, unless that pixel is already transparent. Returns the picture's index, or -1.
    int addImageId(int number, std::optional<quint32> color, int x, int y);
    /// The same for a picture file.
    int addImage(const QString &file, std::optional<quint32> color, int x, int y);
    /// The same for a stock picture of the toolkit, named like "Save!" (see stockIcon()).
    int addStockImage(const QString &name, std::optional<quint32> color, int x, int y);

    /// Binds picture \a index to every menu item showing \a menuText. False for an unknown index.
    bool setImageNameId(const QString &menuText, int index);

    int imageCount() const { return int(m_images.size()); }
    const Image &image(int index) const { return m_images.at(index); }
    /// The index bound to \a menuText, or -1.
    int imageIdForText(const QString &menuText) const;

    /// The picture for an item whose style option text is \a optionText (a shortcut after a tab is
    /// not part of the text the picture is bound to); null when none is bound.
    QIcon iconForItem(const QString &optionText) const;
    std::optional<ItemProps> propsForItem(const QString &optionText) const;

    /// The toolkit's stock picture for a name such as "Save!" or "Exit!" (case ignored); null when the
    /// name is unknown and the icon theme has nothing under it either.
    static QIcon stockIcon(const QString &name);

    /// The text a picture is bound to: an item's option text without a shortcut after a tab.
    static QString bindingKey(const QString &optionText);

private:
    int addLoaded(QIcon icon, int number, const QString &source, std::optional<quint32> color, int x, int y);
    QColor defaultColor(int slot) const;
    /// Tells existing menus that their items' sizes or pictures may have changed.
    static void refreshMenus();

    int m_look = LookOffice2k3;
    std::optional<quint32> m_colors[ColorSlotCount];
    bool m_shadow = false;
    bool m_flat = false;
    bool m_coolMenubar = false;
    bool m_reactOnThemeChange = false;

    QString m_resourceFile;
    /// Where the resource file is mapped (":" + root); empty when none is registered.
    QString m_resourceRoot;

    QList<Image> m_images;
    QHash<QString, int> m_imageByText;
    QHash<QString, ItemProps> m_propsByText;
};

} // namespace garvina
