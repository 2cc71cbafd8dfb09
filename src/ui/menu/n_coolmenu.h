#pragma once

#include <QIcon>
#include <QList>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <memory>
#include <optional>
#include <vector>

class QAction;
class QMenu;

namespace garvina {

class CoolMenuLibrary;

/// \name Menu data the renderer reads from a QAction
/// Menus that want pictures set these dynamic properties on their actions; nothing but the
/// renderer reads them.
///@{
/// Tag (QString): ";"-separated "key=value" parts. "id=N" picks picture N of the resource file,
/// "bc=" the transparent colour (see n_coolmenu::of_addimage), "bt=1", "it=1", "ut=1" and "tc=COLOUR"
/// the text style (see n_coolmenu::of_setmenuitemprops).
inline constexpr char kMenuTagProperty[] = "garvina_tag";
/// Picture name (QString), for example "server.dll:2": the key under which a loaded picture is
/// remembered, so that items sharing it load the picture once. A name without "id=" in the tag is
/// a picture file; a name ending in "!" a stock picture of the toolkit.
inline constexpr char kMenuPictureNameProperty[] = "garvina_picturename";
/// Whether the item's toolbar entry is visible (bool, true when absent); only read while
/// n_coolmenu::of_gettoolbarvisibleonly() is true.
inline constexpr char kMenuToolbarVisibleProperty[] = "garvina_toolbaritemvisible";
///@}

/// One binding of a loaded picture to a menu text.
struct s_menudata
{
    /// The picture name (or, for an item with none, the tag part that loaded the picture).
    QString as_toolbaritemname;
    QString as_menutext;
    /// The library's index of the loaded picture.
    int ai_imageid = -1;
};

/// \brief The one menu renderer shared by every menu of the console.
///
/// Keeps track of which picture belongs to which menu text and turns the menus' data (item text,
/// tag and picture name, see the properties above) into calls of the drawing library
/// (CoolMenuLibrary), which draws the menus through its own style. Start-up calls of_initialize(),
/// of_set2k3style() and of_setresourcefile(); the main window hands its tray menu to
/// of_loadimagesfrommenu(). Colours are Windows RGB values, 0x00BBGGRR. No operation shows a message.
class n_coolmenu
{
public:
    // Looks.
    static constexpr int menustylenormal = 0;
    static constexpr int menustyleoffice2k = 1;
    static constexpr int menustyleofficexp = 2;
    static constexpr int menustyleoffice2k3 = 3;

    // Colour slots.
    static constexpr int selectedcolor = 0;
    static constexpr int menubckcolor = 1;
    static constexpr int bitmapbckcolor = 2;
    static constexpr int checkedselectedcolor = 3;
    static constexpr int checkedcolor = 4;
    static constexpr int pencolor = 5;
    static constexpr int textcolor = 6;
    static constexpr int highlighttextcolor = 7;
    static constexpr int disabledtextcolor = 8;
    static constexpr int gradientstartcolor = 9;
    static constexpr int gradientendcolor = 10;
    static constexpr int menubarcolor = 11;

    // System colour indexes (GetSysColor), as "bc=" values name them.
    static constexpr int color_scrollbar = 0;
    static constexpr int color_background = 1;
    static constexpr int color_activecaption = 2;
    static constexpr int color_inactivecaption = 3;
    static constexpr int color_menu = 4;
    static constexpr int color_window = 5;
    static constexpr int color_windowframe = 6;
    static constexpr int color_menutext = 7;
    static constexpr int color_windowtext = 8;
    static constexpr int color_captiontext = 9;
    static constexpr int color_activeborder = 10;
    static constexpr int color_inactiveborder = 11;
    static constexpr int color_appworkspace = 12;
    static constexpr int color_highlight = 13;
    static constexpr int color_highlighttext = 14;
    static constexpr int color_btnface = 15;
    static constexpr int color_btnshadow = 16;
    static constexpr int color_graytext = 17;
    static constexpr int color_btntext = 18;
    static constexpr int color_inactivecaptiontext = 19;
    static constexpr int color_btnhighlight = 20;
    static constexpr int color_3ddkshadow = 21;
    static constexpr int color_3dlight = 22;
    static constexpr int color_infotext = 23;
    static constexpr int color_infobk = 24;
    static constexpr int color_hotlight = 26;
    static constexpr int color_gradientactivecaption = 27;
    static constexpr int color_gradientinactivecaption = 28;
    static constexpr int color_min = 0;
    static constexpr int color_max = 28;

    n_coolmenu();
    ~n_coolmenu();
    n_coolmenu(const n_coolmenu &) = delete;
    n_coolmenu &operator=(const n_coolmenu &) = delete;

    /// Installs the library for the whole application.
    void of_initialize();
    /// Keeps \a aw_requestor and installs the library for that window's menus.
    void of_setrequestor(QWidget *aw_requestor);
    void of_uninitialize();
    /// Sets the file pictures are loaded from by number; the library's answer (false for a missing
    /// or broken file, whose items then have no picture).
    bool of_setresourcefile(const QString &as_resourcefile);

    void of_setnormalstyle();
    void of_set2kstyle();
    void of_setxpstyle();
    void of_set2k3style();
    int of_getmenustyle() const;

    void of_setxpselectedcolor(quint32 al_color);
    void of_setxpmenucolor(quint32 al_color);
    void of_setxpbmpbkcolor(quint32 al_color);
    void of_setxpcheckedselectedcolor(quint32 al_color);
    void of_setxpcheckedcolor(quint32 al_color);
    void of_setxppencolor(quint32 al_color);
    void of_setxptextcolor(quint32 al_color);
    void of_setxphightextcolor(quint32 al_color);
    void of_setxpdisabledtextcolor(quint32 al_color);
    void of_setmenubarcolor(quint32 al_color);
    void of_set2k3gradient(quint32 al_colorstart, quint32 al_colorend);
    /// Back to the library's own colours.
    void of_setxpdefaults();

    void of_setshadow(bool ab_switch);
    void of_setflatmenu(bool ab_flatmenu);
    void of_setcoolmenubar(bool ab_switch);
    bool of_getcoolmenubar() const;
    void of_setreactonthemechange(bool ab_switch);
    bool of_getreactonthemechange() const;
    void of_settoolbarvisibleonly(bool ab_switch);
    bool of_gettoolbarvisibleonly() const;

    /// The item showing \a as_old now shows \a as_new; its picture and text style follow it.
    bool of_changemenutext(const QString &as_old, const QString &as_new);
    /// Binds picture \a as_image (loaded with \a as_tag when needed) to the text \a as_newmenutext,
    /// as the menu walk does for an item. 1 when a picture is bound, -1 otherwise.
    int of_changemenutext(const QString &as_newmenutext, const QString &as_oldmenutext,
                          const QString &as_image, const QString &as_tag);

    /// Binds \a aul_icon directly to \a as_menutext; the picture's index, below 0 for a null icon.
    int of_addmenubitmap(const QString &as_menutext, const QIcon &aul_icon);

    void of_setmenuitemprops(const QString &as_menuname, bool ab_bold, bool ab_italic, bool ab_underline,
                             quint32 aul_color);
    /// \brief Text style from a tag: "bt=1" bold, "it=1" italic, "ut=1" underline, "tc=N" text colour.
    ///
    /// Only when at least one of them is present is the style set (colour 0 without "tc="); returns
    /// whether it was.
    bool of_setmenuitemprops(const QString &as_menuname, const QString &as_tag);

    /// \brief Gives every item of \a amnu_menu (a QMenu, or a QMenuBar) and of its sub-menus its picture.
    ///
    /// An item takes part when it has a picture name or its tag holds "id="; separators never do.
    /// A picture already loaded under the same name is bound again rather than loaded twice, and a
    /// name and text pair already bound is left alone. Returns 1, or -1 for a null menu.
    int of_loadimagesfrommenu(QWidget *amnu_menu);
    /// \brief Loads the pictures of the menu named \a as_menu: the requestor window's menu (bar) of
    /// that object name, else any menu of the application with that name, else a new empty menu of
    /// that name kept by the renderer.
    int of_setmenu(const QString &as_menu);

    /// \brief Loads one picture into the library and returns its index, below 0 on failure.
    ///
    /// A name ending in "!" is a stock picture. Otherwise "id=N" in \a as_tag (digits up to the next
    /// ";") picks picture N (1 or more) of the resource file, else \a as_image is a picture file.
    /// "bc=V" gives the transparent colour: V from 0 to 28 is a system colour index, another number
    /// the colour itself (0x00BBGGRR), "X-Y" the pixel whose colour is the transparent one.
    int of_addimage(const QString &as_image, const QString &as_tag);
    int of_loadstockimage(const QString &as_stockimage, const QString &as_tag);

    /// \brief Bookkeeping lookup.
    ///
    /// True when \a as_image is already bound to \a as_menutext. Otherwise \a ai_index is the index of
    /// the first record with that picture name (the picture is loaded for another text), or -1.
    bool of_isloaded(const QString &as_image, const QString &as_menutext, int &ai_index) const;
    /// Records the binding of picture \a ai_index (named \a as_image) to \a as_menuname and makes the
    /// library draw it for every item showing that text. The library's answer.
    bool of_setimagenameid(const QString &as_menuname, const QString &as_image, int ai_index);

    /// The drawing library this renderer drives.
    CoolMenuLibrary &library() { return *m_library; }
    const CoolMenuLibrary &library() const { return *m_library; }

    // Members, public for the bookkeeping's sake; read them, change them through the operations.
    int ii_style = menustyleoffice2k3;
    QList<s_menudata> istr_menudata;
    int ii_index = 0;
    bool ib_showtoolbarvisibleonly = false;
    bool ib_reactonthemechanges = false;
    QPointer<QWidget> iw_requestor;
    WId iul_hwnd = 0;
    /// Texts are handed to the library as QString (UTF-16) throughout, so always true here.
    bool ib_unicode = true;

private:
    /// The colour and pixel position a tag's "bc=" part gives.
    struct Background
    {
        std::optional<quint32> color;
        int x = 0;
        int y = 0;
    };
    static Background backgroundFromTag(const QString &as_tag);

    void loadActions(const QList<QAction *> &actions, QList<const QWidget *> &walked);
    /// Steps 4 to 6 of the walk: bind (loading when needed) the picture to a text. The index, or -1.
    int bindPicture(const QString &pictureKey, const QString &pictureName, const QString &menuText,
                    const QString &tag);

    std::shared_ptr<CoolMenuLibrary> m_library;
    std::vector<std::unique_ptr<QMenu>> m_ownMenus;
};

} // namespace garvina
