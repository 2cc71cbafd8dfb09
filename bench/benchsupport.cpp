#include "benchsupport.h"

#include "maintenance/backup.h"

#include "config/profilefile.h"
#include "engine/enginecontrol.h"
#include "engine/engineprobe.h"
#include "platform/filesystem.h"
#include "platform/processtable.h"
#include "platform/toolrunner.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QTcpServer>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#ifndef GARVINA_SOURCE_DIR_DEFAULT
#define GARVINA_SOURCE_DIR_DEFAULT ""
#endif

using namespace Qt::Literals::StringLiterals;

namespace garvina::bench {

void say(const QString &line)
{
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void warn(const QString &line)
{
    std::fputs(line.toUtf8().constData(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

QString benchRoot()
{
    QString root = qEnvironmentVariable("GARVINA_BENCH_ROOT", u"/var/tmp/garvina-bench"_s);
    if (!root.endsWith(u'/'))
        root += u'/';
    return root;
}

QString sourceDir()
{
    const QString fromEnv = qEnvironmentVariable("GARVINA_SOURCE_DIR");
    return fromEnv.isEmpty() ? QString::fromUtf8(GARVINA_SOURCE_DIR_DEFAULT) : fromEnv;
}

int freePort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    // Nearest rank: the smallest value with at least p percent of the values at or below it.
    const double rank = std::ceil(p / 100.0 * double(values.size()));
    const size_t index = rank < 1 ? 0 : std::min(values.size() - 1, size_t(rank) - 1);
    return values[index];
}

double spreadPercent(const std::vector<double> &values)
{
    if (values.empty())
        return 0;
    const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
    const double m = median(values);
    return m > 0 ? (*hi - *lo) / m * 100.0 : 0;
}

QString num(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

int intOption(const QCommandLineParser &parser, const QString &name, int minimum)
{
    bool ok = false;
    const int value = parser.value(name).toInt(&ok);
    if (!ok || value < minimum) {
        warn(u"bad value for --"_s + name + u": "_s + parser.value(name));
        warn(parser.helpText());
        std::exit(2);
    }
    return value;
}

MsgAnswer PrintingMessageBoxes::show(const MessageRequest &request)
{
    shown.append(request);
    warn(u"message box: ["_s + request.title + u"] "_s + request.text);
    return request.defaultAnswer;
}

// ------------------------------------------------------------------------------------------------

BenchFolder::BenchFolder(const QString &name)
{
    gs_path = benchRoot() + name + u'/';
    removePath(gs_path);
    QDir().mkpath(gs_path + u"data"_s);
}

BenchFolder::~BenchFolder()
{
    killEngine();
    if (!keep)
        removePath(gs_path);
}

bool prepareRunFolder(BenchFolder &folder, bool keep, const QString &cached)
{
    folder.keep = keep;
    qputenv("HOME", QFile::encodeName(folder.gs_path));
    QString log;
    if ((!cached.isEmpty() && !folder.seedDatabase(cached)) || !folder.layOut(&log)) {
        warn(u"set-up failed: "_s + log);
        return false;
    }
    return true;
}

namespace {

AppContext benchContext(const QString &gs_path, MessageBoxes &boxes, Clock &clock, ProcessLauncher &launcher,
                        FileSystem &files)
{
    AppContext ctx;
    ctx.gs_path = gs_path;
    ctx.boxes = &boxes;
    ctx.clock = &clock;
    ctx.launcher = &launcher;
    ctx.files = &files;
    return ctx;
}

EngineControlOptions benchEngineOptions()
{
    EngineControlOptions options;
    options.stopTimeoutMs = 5000;
    return options;
}

} // namespace

BenchConsole::BenchConsole(const QString &gs_path)
    : ctx(benchContext(gs_path, boxes, clock, launcher, files)), engine(ctx, benchEngineOptions())
{}

bool BenchConsole::startEngine()
{
    if (engine.f_db_server(u"START"_s) && runningEnginePid(ctx.gs_path) != 0)
        return true;
    warn(u"the engine did not start"_s);
    return false;
}

QString BenchConsole::takeOneBackup(const QString &root)
{
    if (!startEngine())
        return QString();
    QString error, folder;
    BackupRun run;
    run.folder = &folder;
    if (!f_backup_db(ctx, engine, root, error, run))
        fprintf(stderr, "backup failed: %s\n", qPrintable(error));
    engine.f_db_server(QStringLiteral("STOP"));
    return folder;
}

bool BenchFolder::seedDatabase(const QString &database)
{
    const QString target = databaseFile();
    QFile::remove(target);
    QString output;
    return runProgram(u"cp"_s, {database, target}, ProgramEnvironment(), &output) == 0;
}

bool BenchFolder::layOut(QString *log)
{
    QString output;
    const int rc = runProgram(sourceDir() + u"/scripts/setup-instance.sh"_s, {gs_path}, ProgramEnvironment(),
                              &output, QByteArray(), 120000);
    if (log)
        *log = output;
    return rc == 0;
}

void BenchFolder::setPort(int port) const
{
    writeConfig(u"server"_s, u"dataport"_s, QString::number(port));
}

void BenchFolder::writeConfig(const QString &section, const QString &key, const QString &value) const
{
    ProfileFile(gs_path + u"garvinainfo.dll"_s).write(section, key, value);
}

void BenchFolder::killEngine() const
{
    const qint64 pid = runningEnginePid(gs_path);
    if (pid > 0) {
        LinuxProcessTable().send(pid, ProcessTable::Signal::Kill);
        for (int i = 0; i < 250 && processAlive(pid); ++i)
            QThread::msleep(20);
    }
}

ProgramEnvironment toolEnvironment(const QString &gs_path)
{
    ProgramEnvironment env;
    env.extra = EngineInstance(gs_path).toolEnvironment();
    env.extra.append(u"ISC_USER=DBA"_s);
    env.removed = {u"ISC_PASSWORD"_s};
    return env;
}

int runProgram(const QString &program, const QStringList &args, const ProgramEnvironment &env,
               QString *output, const QByteArray &input, int timeoutMs)
{
    ToolRequest request;
    request.program = program;
    request.arguments = args;
    request.extraEnvironment = env.extra;
    request.removedEnvironment = env.removed;
    if (!input.isEmpty())
        request.input = input;
    request.timeoutMs = timeoutMs;
    const ToolResult result = runTool(request);
    if (output) {
        if (result.status == ToolResult::Status::NotStarted)
            *output = result.failureText();
        else if (result.status == ToolResult::Status::TimedOut)
            *output = QString::fromUtf8(result.output) + u"\n(timed out)"_s;
        else
            *output = QString::fromUtf8(result.output).trimmed();
    }
    return result.exitCode;
}

bool syncToDiskPath(const QString &path)
{
    return LinuxFileSystem().sync(path);
}

void removePath(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        QDir(path).removeRecursively();
    else if (info.exists() || info.isSymLink())
        QFile::remove(path);
}

qint64 countRows(const QString &gs_path, const QString &database, const QString &table)
{
    QString output;
    const QByteArray script = "set heading off;\nselect count(*) from " + table.toUtf8() + ";\nquit;\n";
    if (runProgram(u"isql-fb"_s, {u"-q"_s, database}, toolEnvironment(gs_path), &output, script, 600000) != 0)
        return -1;
    bool ok = false;
    const qint64 n = output.trimmed().toLongLong(&ok);
    return ok ? n : -1;
}

// ------------------------------------------------------------------------------------------------
// The cached shop database.

namespace {

/// Stores, categories, about 16 000 goods (800 articles in 4 colours and 5 sizes), their stock in
/// every store and 100 000 member customers.
const char masterDataSql[] = R"sql(SET BAIL ON;
SET TERM ^ ;
EXECUTE BLOCK AS
DECLARE i INTEGER;
DECLARE a INTEGER;
DECLARE c INTEGER;
DECLARE s INTEGER;
DECLARE cat INTEGER;
DECLARE price NUMERIC(12,2);
BEGIN
  i = 3;
  WHILE (i <= 8) DO BEGIN
    INSERT INTO STORES (STORE_ID, CODE, NAME, ADDRESS, PHONE)
      VALUES (:i, 'S0' || :i, '分店 ' || :i, '人民路 ' || (:i * 17) || ' 号', '020-8888 00' || LPAD(:i, 2, '0'));
    i = i + 1;
  END
  INSERT INTO CATEGORIES (CATEGORY_ID, NAME, KIND) VALUES (5, 'T恤', 'GARMENT');
  INSERT INTO CATEGORIES (CATEGORY_ID, NAME, KIND) VALUES (6, '牛仔裤', 'GARMENT');
  INSERT INTO CATEGORIES (CATEGORY_ID, NAME, KIND) VALUES (7, '外套', 'GARMENT');
  INSERT INTO CATEGORIES (CATEGORY_ID, NAME, KIND) VALUES (8, '皮鞋', 'SHOE');
  INSERT INTO CATEGORIES (CATEGORY_ID, NAME, KIND) VALUES (9, '凉鞋', 'SHOE');
  INSERT INTO CATEGORIES (CATEGORY_ID, NAME, KIND) VALUES (10, '棒球帽', 'HAT');
  INSERT INTO CATEGORIES (CATEGORY_ID, NAME, KIND) VALUES (11, '毛线帽', 'HAT');
  INSERT INTO CATEGORIES (CATEGORY_ID, NAME, KIND) VALUES (12, '配饰', 'OTHER');
  a = 1;
  WHILE (a <= 800) DO BEGIN
    cat = 1 + MOD(a, 12);
    price = 39 + MOD(a * 37, 560) + 0.9;
    c = 1;
    WHILE (c <= 4) DO BEGIN
      s = 1;
      WHILE (s <= 5) DO BEGIN
        INSERT INTO GOODS (ARTICLE_NO, BARCODE, NAME, CATEGORY_ID, COLOUR, SIZE_LABEL, SEASON, UNIT_PRICE, COST_PRICE)
          VALUES ('A' || LPAD(:a, 5, '0'), '69' || LPAD(:a * 100 + :c * 10 + :s, 11, '0'),
                  DECODE(:cat, 1, '男士衬衫', 2, '女士连衣裙', 3, '跑步鞋', 4, '渔夫帽', 5, '纯棉T恤', 6, '直筒牛仔裤',
                         7, '羽绒外套', 8, '商务皮鞋', 9, '沙滩凉鞋', 10, '刺绣棒球帽', 11, '针织毛线帽', '真皮腰带') || ' ' || :a,
                  :cat, DECODE(:c, 1, '黑色', 2, '白色', 3, '藏青', '卡其'),
                  DECODE(:s, 1, 'S', 2, 'M', 3, 'L', 4, 'XL', 'XXL'),
                  DECODE(MOD(:a, 4), 0, '2023SS', 1, '2023AW', 2, '2024SS', '2024AW'), :price, :price * 0.45);
        s = s + 1;
      END
      c = c + 1;
    END
    a = a + 1;
  END
  INSERT INTO STOCK (GOODS_ID, STORE_ID, QTY)
    SELECT G.GOODS_ID, S.STORE_ID, MOD(G.GOODS_ID * 7 + S.STORE_ID * 13, 40)
    FROM GOODS G CROSS JOIN STORES S
    WHERE NOT EXISTS (SELECT 1 FROM STOCK K WHERE K.GOODS_ID = G.GOODS_ID AND K.STORE_ID = S.STORE_ID);
  i = 1;
  WHILE (i <= 100000) DO BEGIN
    INSERT INTO CUSTOMERS (CARD_NO, NAME, PHONE, POINTS)
      VALUES ('C' || LPAD(:i, 9, '0'),
              DECODE(MOD(:i, 10), 0, '王', 1, '李', 2, '张', 3, '刘', 4, '陈', 5, '杨', 6, '黄', 7, '赵', 8, '吴', '周')
                || DECODE(MOD(:i / 10, 8), 0, '伟', 1, '芳', 2, '娜', 3, '敏', 4, '静', 5, '磊', 6, '洋', '艳'),
              '13' || LPAD(MOD(:i * 7919, 1000000000), 9, '0'), MOD(:i * 31, 5000));
    i = i + 1;
  END
END^
SET TERM ; ^
COMMIT;
)sql";

/// One batch of sales over three years in every store: 1 to 5 lines each (most have one or two),
/// 40 % with a member card, some discounts and returns. "@COUNT@" is replaced by the batch size.
const char salesBatchSql[] = R"sql(SET BAIL ON;
SET TERM ^ ;
EXECUTE BLOCK AS
DECLARE i INTEGER = 0;
DECLARE n INTEGER;
DECLARE l INTEGER;
DECLARE sid INTEGER;
DECLARE g INTEGER;
DECLARE q INTEGER;
DECLARE p NUMERIC(12,2);
DECLARE dsc NUMERIC(12,2);
DECLARE tot NUMERIC(12,2);
DECLARE ng INTEGER;
DECLARE nc INTEGER;
DECLARE st INTEGER;
DECLARE g1 INTEGER; DECLARE g2 INTEGER; DECLARE g3 INTEGER; DECLARE g4 INTEGER; DECLARE g5 INTEGER;
BEGIN
  SELECT MAX(GOODS_ID) FROM GOODS INTO ng;
  SELECT MAX(CUSTOMER_ID) FROM CUSTOMERS INTO nc;
  WHILE (i < @COUNT@) DO BEGIN
    n = 1 + CAST(FLOOR(RAND() * RAND() * 5) AS INTEGER);
    g1 = 1 + CAST(FLOOR(RAND() * ng) AS INTEGER);
    g2 = 1 + CAST(FLOOR(RAND() * ng) AS INTEGER);
    g3 = 1 + CAST(FLOOR(RAND() * ng) AS INTEGER);
    g4 = 1 + CAST(FLOOR(RAND() * ng) AS INTEGER);
    g5 = 1 + CAST(FLOOR(RAND() * ng) AS INTEGER);
    SELECT SUM(UNIT_PRICE) FROM GOODS WHERE GOODS_ID IN (:g1, :g2, :g3, :g4, :g5) INTO tot;
    st = 1 + CAST(FLOOR(RAND() * 8) AS INTEGER);
    INSERT INTO SALES (STORE_ID, CUSTOMER_ID, SALE_DATE, CASHIER, PAYMENT, TOTAL)
      VALUES (:st, IIF(RAND() < 0.4, 1 + CAST(FLOOR(RAND() * :nc) AS INTEGER), NULL),
              DATEADD(CAST(FLOOR(RAND() * 1095 * 720) AS INTEGER) MINUTE TO TIMESTAMP '2021-01-01 09:00:00'),
              DECODE(:st, 1, '王芳', 2, '李强', 3, '张丽', 4, '刘洋', 5, '陈静', 6, 'Anna', 7, '赵敏', '吴磊'),
              DECODE(CAST(FLOOR(RAND() * 4) AS INTEGER), 0, 'CASH', 1, 'CARD', 'MOBILE'), :tot)
      RETURNING SALE_ID INTO sid;
    l = 1;
    WHILE (l <= n) DO BEGIN
      g = DECODE(l, 1, g1, 2, g2, 3, g3, 4, g4, g5);
      SELECT UNIT_PRICE FROM GOODS WHERE GOODS_ID = :g INTO p;
      q = IIF(RAND() < 0.97, 1 + CAST(FLOOR(RAND() * RAND() * 3) AS INTEGER), -1);
      dsc = IIF(RAND() < 0.2, CAST(p * 0.1 AS NUMERIC(12,2)), 0);
      INSERT INTO SALE_LINES (SALE_ID, LINE_NO, GOODS_ID, QTY, UNIT_PRICE, DISCOUNT)
        VALUES (:sid, :l, :g, :q, :p, :dsc);
      l = l + 1;
    END
    i = i + 1;
  END
END^
SET TERM ; ^
COMMIT;
)sql";

/// Fresh selectivity figures for every index, as a database that has been in use would have.
const char statisticsSql[] = R"sql(SET BAIL ON;
SET TERM ^ ;
EXECUTE BLOCK AS
DECLARE name VARCHAR(63);
BEGIN
  FOR SELECT TRIM(RDB$INDEX_NAME) FROM RDB$INDICES WHERE COALESCE(RDB$SYSTEM_FLAG, 0) = 0 INTO name DO
    EXECUTE STATEMENT 'SET STATISTICS INDEX ' || name;
END^
SET TERM ; ^
COMMIT;
)sql";

constexpr int SalesPerBatch = 100000;

bool runScript(const QString &gs_path, const QString &database, const QByteArray &script, QString &output)
{
    const QString file = gs_path + u"build-step.sql"_s;
    QFile f(file);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(script) != script.size())
        return false;
    f.close();
    // Input from a file (UTF-8 texts); a large page cache for the build only.
    const int rc = runProgram(
        u"isql-fb"_s, {u"-q"_s, u"-b"_s, u"-ch"_s, u"UTF8"_s, u"-c"_s, u"40000"_s, u"-i"_s, file, database},
        toolEnvironment(gs_path), &output);
    QFile::remove(file);
    return rc == 0;
}

QString markerFile(const QString &folder)
{
    return folder + u"complete.txt"_s;
}

/// The marker written after a complete build: "target=MB size=BYTES sales=N".
bool cacheValid(const QString &folder, int targetMb)
{
    QFile marker(markerFile(folder));
    if (!marker.open(QIODevice::ReadOnly))
        return false;
    const QStringList fields = QString::fromUtf8(marker.readAll()).simplified().split(u' ');
    QString target, size;
    for (const QString &f : fields) {
        if (f.startsWith(u"target="_s))
            target = f.mid(7);
        else if (f.startsWith(u"size="_s))
            size = f.mid(5);
    }
    const QString db = folder + u"data/garvina.db"_s;
    return target.toInt() == targetMb && QFileInfo(db).size() == size.toLongLong() &&
           QFileInfo::exists(folder + u"tool/firebird.conf"_s);
}

} // namespace

QString ensureBenchDatabase(int targetMb)
{
    QDir().mkpath(benchRoot());
    // The 1 GB database of the measurements lives in backup-db/; other sizes (trial runs) beside it.
    const QString name =
        targetMb == 1024 ? u"backup-db"_s : u"backup-db-"_s + QString::number(targetMb) + u"mb"_s;
    // One build at a time per database; a second program waits for the first one's result.
    QLockFile lock(benchRoot() + name + u".lock"_s);
    lock.setStaleLockTime(0);
    if (!lock.lock()) {
        warn(u"cannot lock "_s + benchRoot() + name + u".lock"_s);
        return QString();
    }
    const QString folder = benchRoot() + name + u'/';
    const QString db = folder + u"data/garvina.db"_s;
    if (cacheValid(folder, targetMb)) {
        // Cheap proof that it still opens: the embedded tool counts the stores.
        if (countRows(folder, db, u"STORES"_s) > 0) {
            say(u"cached database: "_s + db + u" ("_s + num(mib(QFileInfo(db).size()), 0) + u" MB)"_s);
            return db;
        }
    }
    say(u"building the shop database of about "_s + QString::number(targetMb) + u" MB in "_s + folder +
        u" (once; later runs reuse it)"_s);
    const QString building = benchRoot() + name + u".building/"_s;
    removePath(building);
    removePath(folder);
    QDir().mkpath(building);
    QString output;
    if (runProgram(sourceDir() + u"/scripts/setup-instance.sh"_s, {building}, ProgramEnvironment(), &output,
                   QByteArray(), 120000) != 0) {
        warn(u"set-up failed: "_s + output);
        return QString();
    }
    const QString buildDb = building + u"data/garvina.db"_s;
    const ProgramEnvironment env = toolEnvironment(building);
    // Forced writes off while building (minutes instead of hours), on again at the end as in a shop.
    if (runProgram(u"gfix"_s, {u"-w"_s, u"async"_s, buildDb}, env, &output) != 0) {
        warn(u"gfix -w async failed: "_s + output);
        return QString();
    }
    QElapsedTimer timer;
    timer.start();
    if (!runScript(building, buildDb, masterDataSql, output)) {
        warn(u"master data failed: "_s + output);
        return QString();
    }
    say(u"  master data: "_s + num(seconds(timer), 1) + u" s, "_s + num(mib(QFileInfo(buildDb).size()), 0) +
        u" MB"_s);
    QByteArray batch = salesBatchSql;
    batch.replace("@COUNT@", QByteArray::number(SalesPerBatch));
    qint64 sales = 0;
    const qint64 target = qint64(targetMb) * 1048576;
    while (QFileInfo(buildDb).size() < target) {
        if (!runScript(building, buildDb, batch, output)) {
            warn(u"sales batch failed: "_s + output);
            return QString();
        }
        sales += SalesPerBatch;
        const double s = seconds(timer);
        say(u"  "_s + QString::number(sales) + u" sales, "_s + num(mib(QFileInfo(buildDb).size()), 0) +
            u" MB, "_s + num(s, 0) + u" s ("_s + num(double(sales) / s, 0) + u" sales/s)"_s);
    }
    if (!runScript(building, buildDb, statisticsSql, output)) {
        warn(u"index statistics failed: "_s + output);
        return QString();
    }
    if (runProgram(u"gfix"_s, {u"-w"_s, u"sync"_s, buildDb}, env, &output) != 0) {
        warn(u"gfix -w sync failed: "_s + output);
        return QString();
    }
    const qint64 lines = countRows(building, buildDb, u"SALE_LINES"_s);
    if (lines <= 0) {
        warn(u"the built database does not open"_s);
        return QString();
    }
    syncToDiskPath(buildDb);
    if (!QDir().rename(building, folder)) {
        warn(u"cannot rename "_s + building + u" to "_s + folder);
        return QString();
    }
    // databases.conf names the folder: lay it out again under its final name.
    if (runProgram(sourceDir() + u"/scripts/setup-instance.sh"_s, {folder}, ProgramEnvironment(), &output,
                   QByteArray(), 120000) != 0) {
        warn(u"set-up failed: "_s + output);
        return QString();
    }
    QFile marker(markerFile(folder));
    if (!marker.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    marker.write("target=" + QByteArray::number(targetMb) +
                 " size=" + QByteArray::number(QFileInfo(db).size()) + " sales=" + QByteArray::number(sales) +
                 " lines=" + QByteArray::number(lines) + "\n");
    marker.close();
    say(u"  built in "_s + num(seconds(timer), 0) + u" s: "_s + QString::number(sales) + u" sales, "_s +
        QString::number(lines) + u" sale lines, "_s + num(mib(QFileInfo(db).size()), 0) + u" MB"_s);
    return db;
}

} // namespace garvina::bench
