#include "w_setting.h"

#include "core/appcontext.h"
#include "core/settings.h"
#include "engine/syshelpers.h"
#include "maintenance/backup.h"
#include "maintenance/backupcare.h"
#include "maintenance/offsite.h"
#include "maintenance/schedule.h"
#include "platform/autostart.h"
#include "platform/messageboxes.h"
#include "ui/filedialogs.h"
#include "ui/form/dataform.h"
#include "ui/formwindow.h"
#include "ui/u_icontray.h"
#include "ui/w_backuplist.h"
#include "ui/w_main.h"

#include <QAbstractButton>
#include <QDir>
#include <QFont>
#include <QFontMetrics>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionButton>

#include <algorithm>
#include <initializer_list>
#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

const QString Font = FormWindow::fontFamily();
const QColor White(255, 255, 255);
const QColor Greyed(235, 241, 247);
const QString IntervalText = u"每隔                  小时自动备份一次"_s;

AutostartEntry autostartEntry()
{
    return AutostartEntry(u"garvinaserver"_s, u"服装销售管理软件(网络版服务端)"_s);
}

} // namespace

QStringList w_setting::retentionColumns()
{
    return {u"keep_daily"_s, u"keep_weekly"_s, u"keep_monthly"_s, u"keep_safety"_s, u"alarm_hours"_s};
}

QList<ProfileFile::Entry> w_setting::retentionEntries() const
{
    // Absent keys mean their defaults: a key is written once it is in the file or differs from
    // its default, so files of shops that never change them stay as they were.
    QList<ProfileFile::Entry> entries;
    const ProfileFile config = m_ctx.config();
    const QStringList columns = retentionColumns();
    const QStringList defaults = retentionDefaults();
    const QString absent(1, QChar(1));
    for (qsizetype i = 0; i < columns.size(); ++i) {
        const QString value = m_form->getItem(columns[i]);
        if (value != defaults[i] || config.read(u"backup"_s, columns[i], absent) != absent)
            entries.append({u"backup"_s, columns[i], value});
    }
    return entries;
}

QStringList w_setting::retentionDefaults()
{
    QStringList defaults;
    for (const QString &column : retentionColumns())
        defaults << settingKey(u"backup"_s, column).fallback;
    return defaults;
}

QStringList w_setting::autorunCommand(const QString &gs_path)
{
    return {gs_path + u"garvinaserver"_s, u"-autorun"_s};
}

w_setting::w_setting(AppContext &ctx, w_main &mainWindow, EngineControl &engine, FileDialogs &dialogs,
                     QWidget *parent)
    : FormWindow(ctx, mainWindow, engine, dialogs, u"服务端功能设置"_s, u"dw_setting"_s, parent)
{
    buildForm();
    finishForm();
}

w_setting::~w_setting() = default;

void w_setting::buildForm()
{
    DataForm &f = *m_form;
    for (const QString &column :
         {u"start"_s, u"start_min"_s, u"setting_pass"_s, u"exit_pass"_s, u"password"_s, u"dbunload"_s,
          u"dbunload_day"_s, u"backup_type"_s, u"backup_time1"_s, u"backup_time2"_s, u"backup_time3"_s,
          u"backup_hour"_s, u"backup_path"_s, u"name"_s})
        f.addColumn(column);
    for (const QString &column : retentionColumns())
        f.addColumn(column);
    f.setFormSize(px(0, 0, 547, 416).size());

    addSkin();

    const auto setFieldFont = [](FormField &field) -> FormField & {
        field.setFont(Font, 9);
        return field;
    };

    // General options.
    f.addGroupBox(u"gb_general"_s, px(12, 32, 523, 136), u"常规选项"_s).setFont(Font, 9);
    setFieldFont(f.addCheckBox(u"start"_s, px(28, 52, 230, 22), u"开机时自动开启服务端"_s));
    setFieldFont(f.addCheckBox(u"start_min"_s, px(280, 52, 230, 22), u"启动后最小化到任务栏"_s));
    setFieldFont(f.addCheckBox(u"setting_pass"_s, px(28, 78, 240, 22), u"功能设置、还原数据库 需密码确认"_s));
    setFieldFont(f.addCheckBox(u"exit_pass"_s, px(280, 78, 230, 22), u"退出服务端时需密码确认"_s));
    addLabel(u"t_password"_s, px(30, 106, 40, 22), u"密码:"_s);
    FormField &password = setFieldFont(f.addPasswordEdit(u"password"_s, px(72, 106, 180, 22)));
    setFieldFont(f.addCheckBox(u"dbunload"_s, px(28, 136, 140, 22), u"定期优化整理数据库"_s));
    FormField &day =
        setFieldFont(f.addRadioGroup(u"dbunload_day"_s, px(170, 136, 180, 22),
                                     {{u"每月"_s, u"1"_s}, {u"每周"_s, u"2"_s}, {u"每天"_s, u"3"_s}}));
    addLabel(u"t_dbunload_note"_s, px(356, 136, 150, 22), u"(建议每周整理)"_s);

    // Backup settings.
    f.addGroupBox(u"gb_backup"_s, px(12, 176, 523, 186), u"备份设置"_s).setFont(Font, 9);
    FormField &type = setFieldFont(f.addRadioGroup(
        u"backup_type"_s, px(28, 196, 290, 84),
        {{u"每天定时备份"_s, u"1"_s, px(28, 196, 110, 22)}, {IntervalText, u"0"_s, px(28, 258, 290, 22)}}));
    addLabel(u"t_time_note"_s, px(142, 196, 380, 22), u"(以下三个备份时间为00:00，即代表没有备份时间)"_s);
    FormField *times[3] = {};
    for (int i = 0; i < 3; ++i) {
        const QString n = QString::number(i + 1);
        addLabel(u"t_time"_s + n, px(46 + i * 160, 224, 70, 22), u"备份时间"_s + n + u":"_s);
        times[i] = &setFieldFont(f.addTimeField(u"backup_time"_s + n, px(116 + i * 160, 224, 72, 22)));
    }
    // The interval field sits in the run of blanks of its radio button's text, wherever the font
    // puts that run.
    QAbstractButton *intervalButton = type.choiceButton(u"0"_s);
    QStyleOptionButton option;
    option.initFrom(intervalButton);
    const QStyle *style = intervalButton->style();
    const QFontMetrics metrics(intervalButton->font());
    const int gapLeft = style->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, &option, intervalButton) +
                        style->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, &option, intervalButton) +
                        metrics.horizontalAdvance(u"每隔 "_s);
    const int gapWidth = std::max(36, metrics.horizontalAdvance(QString(16, u' ')));
    FormField &hour =
        setFieldFont(f.addIntegerField(u"backup_hour"_s, px(28 + gapLeft, 258, gapWidth, 22), 1, 24));
    addLabel(u"t_hour_note"_s, px(324, 258, 200, 22), u"(从0点开始计算间隔备份小时数)"_s);
    addLabel(u"t_path"_s, px(30, 284, 62, 22), u"备份目录:"_s);
    setFieldFont(f.addLineEdit(u"backup_path"_s, px(92, 284, 330, 22)));
    addFormButton(*m_form, u"select_path"_s, px(432, 283, 72, 24), u"目录"_s);

    // How many backups to keep and when to raise the alarm, in two rows under the folder, each a
    // sentence with its numbers in it. Labels are as wide as their text in the window's font, with
    // a gap on either side of every field.
    const QFontMetrics metrics9(QFont(Font, 9));
    const auto layRow = [&](int y, int x,
                            std::initializer_list<std::pair<const char16_t *, const char16_t *>> parts) {
        const int gap = 6;
        for (const auto &[name, text] : parts) {
            const QString n = QString::fromUtf16(name);
            if (!text) { // a field: its column's name
                setFieldFont(f.addIntegerField(n, px(x, y, 44, 22), 0, 999));
                x += 44 + gap;
                continue;
            }
            const QString t = QString::fromUtf16(text);
            const int width = metrics9.horizontalAdvance(t) + 2;
            addLabel(n, px(x, y, width, 22), t);
            x += width + gap;
        }
    };
    layRow(310, 30,
           {{u"t_keep", u"保留最近"},
            {u"keep_daily", nullptr},
            {u"t_keep_daily", u"天、"},
            {u"keep_weekly", nullptr},
            {u"t_keep_weekly", u"周、"},
            {u"keep_monthly", nullptr},
            {u"t_keep_monthly", u"个月的备份"}});
    layRow(336, 30,
           {{u"t_keep_safety_label", u"保留安全副本"}, {u"keep_safety", nullptr}, {u"t_keep_safety", u"份"}});
    layRow(
        336, 250,
        {{u"t_alarm", u"超过"}, {u"alarm_hours", nullptr}, {u"t_alarm_unit", u"小时没有成功的备份即告警"}});

    addFormButton(*m_form, u"now_backup"_s, px(30, 376, 96, 28), u"立即备份"_s);
    addFormButton(*m_form, u"backup_list"_s, px(140, 376, 96, 28), u"备份列表"_s);
    addFormButton(*m_form, u"ok"_s, px(316, 376, 96, 28), u"确 定"_s);
    addFormButton(*m_form, u"cancel"_s, px(426, 376, 96, 28), u"取 消"_s);

    // Display rules.
    const auto item = [](const DataForm &form, const QString &column) {
        return form.getItem(column);
    };
    times[0]->bindReadOnly([item](const DataForm &d) { return item(d, u"backup_type"_s) != u"1"_s; });
    times[0]->bindBackgroundColor(
        [item](const DataForm &d) { return item(d, u"backup_type"_s) == u"1"_s ? White : Greyed; });
    hour.bindReadOnly([item](const DataForm &d) { return item(d, u"backup_type"_s) != u"0"_s; });
    hour.bindBackgroundColor(
        [item](const DataForm &d) { return item(d, u"backup_type"_s) == u"0"_s ? White : Greyed; });
    const auto passwordWanted = [item](const DataForm &d) {
        return item(d, u"exit_pass"_s) == u"1"_s || item(d, u"setting_pass"_s) == u"1"_s;
    };
    password.bindReadOnly([passwordWanted](const DataForm &d) { return !passwordWanted(d); });
    password.bindBackgroundColor(
        [passwordWanted](const DataForm &d) { return passwordWanted(d) ? White : Greyed; });
    day.bindBackgroundColor(
        [item](const DataForm &d) { return item(d, u"dbunload"_s) == u"1"_s ? White : Greyed; });

    f.sendToBack(u"gb_general"_s);
    f.sendToBack(u"gb_backup"_s);
    f.sendToBack(u"p_1"_s);
}

void w_setting::open()
{
    setFixedSize(m_form->formSize());
    DataForm &f = *m_form;

    // An entry that starts anything but this console from this folder is not ours to keep.
    const AutostartEntry entry = autostartEntry();
    const std::optional<QStringList> command = entry.command();
    if (command && *command == autorunCommand(m_ctx.gs_path)) {
        f.setItem(u"start"_s, u"1"_s);
    } else {
        if (command)
            entry.remove();
        f.setItem(u"start"_s, u"0"_s);
    }

    const ProfileFile config = m_ctx.config();
    const struct
    {
        const char16_t *column;
        const char16_t *section;
        const char16_t *key;
    } columns[] = {
        {u"exit_pass", u"system", u"exitpass"},       {u"setting_pass", u"system", u"settingpass"},
        {u"password", u"system", u"password"},        {u"start_min", u"system", u"start_min"},
        {u"dbunload", u"dbunload", u"dbunload"},      {u"dbunload_day", u"dbunload", u"dbunload_day"},
        {u"backup_type", u"backup", u"backuptype"},   {u"backup_time1", u"backup", u"backuptime1"},
        {u"backup_time2", u"backup", u"backuptime2"}, {u"backup_time3", u"backup", u"backuptime3"},
        {u"backup_hour", u"backup", u"backuphour"},
    };
    for (const auto &c : columns) {
        const SettingKey setting = settingKey(QString::fromUtf16(c.section), QString::fromUtf16(c.key));
        f.setItem(QString::fromUtf16(c.column), readSetting(config, setting.section, setting.key));
    }
    // A time the file does not hold as a time shows as 00:00, and is what OK would save: the form
    // holds it as 00:00 so that three such times are refused like three 00:00 times.
    for (const QString &column : {u"backup_time1"_s, u"backup_time2"_s, u"backup_time3"_s}) {
        if (f.getItem(column).isEmpty())
            f.setItem(column, u"00:00:00"_s);
    }
    f.setItem(u"backup_path"_s, readSetting(config, u"backup"_s, u"backuppath"_s));
    const QStringList retention = retentionColumns();
    const QStringList defaults = retentionDefaults();
    for (qsizetype i = 0; i < retention.size(); ++i)
        f.setItem(retention[i], config.read(u"backup"_s, retention[i], defaults[i]));

    showOverMain();
}

QString w_setting::validationError() const
{
    const DataForm &f = *m_form;
    const auto on = [&f](const QString &column) {
        return f.getItem(column) == u"1"_s;
    };
    if ((on(u"exit_pass"_s) || on(u"setting_pass"_s)) && f_len0(f.getItem(u"password"_s)) < 1)
        return u"启用密码保护功能,必须设有密码,请输入密码!"_s;
    if (f_len0(f.getItem(u"backup_path"_s)) < 3)
        return u"请选择备份目录!"_s;
    if (on(u"backup_type"_s)) {
        const QStringList times{f.getItem(u"backup_time1"_s), f.getItem(u"backup_time2"_s),
                                f.getItem(u"backup_time3"_s)};
        if (std::all_of(times.begin(), times.end(), [](const QString &t) { return t.isEmpty(); }))
            return u"请设置最少一个备份时间!"_s;
        // An empty time is saved as 00:00:00, so a mix of empty and 00:00 times schedules nothing
        // either and is refused like three 00:00 times.
        if (std::all_of(times.begin(), times.end(),
                        [](const QString &t) { return t.isEmpty() || t == u"00:00:00"_s; }))
            return u"请设置最少一个备份时间!!"_s;
    } else {
        bool number = false;
        const int hours = f.getItem(u"backup_hour"_s).toInt(&number);
        if (!number || hours <= 0 || hours >= 24)
            return u"每隔多少小时备份的小时数不能小于1或大于23!"_s;
    }
    return QString();
}

bool w_setting::f_ok()
{
    const QString title = u"提示"_s;
    const QString error = validationError();
    if (!error.isEmpty()) {
        m_ctx.boxes->tell(title, error, MsgIcon::StopSign);
        return false;
    }

    const DataForm &f = *m_form;
    const auto time = [&f](const QString &column) {
        const QString t = f.getItem(column);
        return t.isEmpty() ? u"00:00:00"_s : t;
    };
    const QString system = u"system"_s;
    const QString dbunload = u"dbunload"_s;
    const QString backup = u"backup"_s;
    const bool saved = m_ctx.config().write(QList<ProfileFile::Entry>{
                                                {system, u"exitpass"_s, f.getItem(u"exit_pass"_s)},
                                                {system, u"settingpass"_s, f.getItem(u"setting_pass"_s)},
                                                {system, u"password"_s, f.getItem(u"password"_s)},
                                                {system, u"start_min"_s, f.getItem(u"start_min"_s)},
                                                {dbunload, u"dbunload"_s, f.getItem(u"dbunload"_s)},
                                                {dbunload, u"dbunload_day"_s, f.getItem(u"dbunload_day"_s)},
                                                {backup, u"backuptype"_s, f.getItem(u"backup_type"_s)},
                                                {backup, u"backuptime1"_s, time(u"backup_time1"_s)},
                                                {backup, u"backuptime2"_s, time(u"backup_time2"_s)},
                                                {backup, u"backuptime3"_s, time(u"backup_time3"_s)},
                                                {backup, u"backuphour"_s, f.getItem(u"backup_hour"_s)},
                                                {backup, u"backuppath"_s, f.getItem(u"backup_path"_s)},
                                            } +
                                            retentionEntries());
    // A settings window that closes as if it had saved, when it had not, would leave the user
    // believing in a schedule that does not exist.
    if (!saved) {
        m_ctx.boxes->tell(title, u"保存设置出错,请检查配置文件是否可写:\n"_s + m_ctx.configPath(),
                          MsgIcon::StopSign);
        return false;
    }

    const AutostartEntry entry = autostartEntry();
    const bool autostartSet =
        f.getItem(u"start"_s) == u"1"_s ? entry.setCommand(autorunCommand(m_ctx.gs_path)) : entry.remove();
    if (!autostartSet)
        m_ctx.boxes->tell(title, u"设置开机自动开启服务端出错:\n"_s + entry.filePath(), MsgIcon::StopSign);

    m_main.wf_get_exit_backup_time();
    close();
    return true;
}

bool w_setting::nowBackup()
{
    is_path = m_form->getItem(u"backup_path"_s);
    if (f_len0(is_path) < 3)
        is_path = QDir::homePath() + u"/服装软件备份/"_s;
    if (!is_path.endsWith(u'/'))
        is_path += u'/';
    const BackupOutcome outcome = m_main.backUpNow(is_path);
    is_error = outcome.error;
    return outcome.ok;
}

void w_setting::selectPath()
{
    is_path = m_form->getItem(u"backup_path"_s);
    QString chosen = m_dialogs.chooseFolder(this, u"请选择备份目录"_s, is_path);
    if (chosen.isEmpty())
        return;
    if (!chosen.endsWith(u'/'))
        chosen += u'/';
    m_form->setItem(u"backup_path"_s, chosen);
}

w_backuplist *w_setting::openBackupList()
{
    auto *list = new w_backuplist(
        m_ctx.gs_path, m_form->getItem(u"backup_path"_s), m_main.statusModel().status().nextBackup,
        [this](const QString &file) {
            if (file.isEmpty())
                m_ctx.boxes->tell(u"提示"_s, u"请先在列表中选择要还原的备份!"_s, MsgIcon::Information);
            else
                m_main.maintenance().restore(file);
        },
        this,
        OffsiteSettings::read(m_ctx).repository.isEmpty()
            ? std::function<void()>()
            : [this] { m_main.maintenance().restoreFromOffsite(); });
    const QScreen *screen = this->screen();
    list->move(w_backuplist::placeBeside(frameGeometry(), list->size(),
                                         screen ? screen->availableGeometry() : QRect(QPoint(), size())));
    list->show();
    list->activateWindow();
    return list;
}

void w_setting::buttonClicked(const QString &key)
{
    if (key == u"ok"_s)
        f_ok();
    else if (key == u"now_backup"_s)
        nowBackup();
    else if (key == u"select_path"_s)
        selectPath();
    else if (key == u"backup_list"_s)
        openBackupList();
}

} // namespace garvina
