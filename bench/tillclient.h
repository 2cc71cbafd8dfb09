#pragma once

// A till-like client of the measuring programs: reads by primary key and single-row commits over
// TCP on the Firebird C API, in a thread of its own with its own attachment, and the latency figures
// of its operations.

#include "benchsupport.h"

#include <ibase.h>

#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace garvina::bench {

using namespace Qt::Literals::StringLiterals;

using SteadyClock = std::chrono::steady_clock;

inline double msSince(SteadyClock::time_point from, SteadyClock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// ------------------------------------------------------------------------------------------------
// A till-like client on the Firebird C API, in a thread of its own with its own attachment.

inline QString statusText(const ISC_STATUS *status)
{
    QStringList parts;
    const ISC_STATUS *p = status;
    char buffer[1024];
    while (fb_interpret(buffer, sizeof buffer, &p) > 0)
        parts.append(QString::fromUtf8(buffer));
    return parts.join(u' ');
}

struct Statement
{
    isc_stmt_handle handle = 0;
    XSQLDA *in = nullptr;
    XSQLDA *out = nullptr;
    std::vector<std::vector<char>> buffers;
    std::vector<short> indicators;
    std::vector<ISC_LONG> params;
    short zero = 0;
    bool select = false;

    ~Statement()
    {
        std::free(in);
        std::free(out);
    }
};

inline XSQLDA *allocSqlda(int n)
{
    auto *da = static_cast<XSQLDA *>(std::calloc(1, XSQLDA_LENGTH(n < 1 ? 1 : n)));
    da->version = SQLDA_VERSION1;
    da->sqln = static_cast<ISC_SHORT>(n < 1 ? 1 : n);
    return da;
}

/// Attaches to \a database as DBA with \a password (only in the parameter block, cleared after).
inline bool attachAsDba(const QByteArray &database, const QByteArray &password, isc_db_handle &db,
                        QString &error)
{
    std::vector<char> dpb{static_cast<char>(isc_dpb_version1)};
    const auto add = [&](char tag, const QByteArray &v) {
        dpb.push_back(tag);
        dpb.push_back(static_cast<char>(v.size()));
        dpb.insert(dpb.end(), v.begin(), v.end());
    };
    add(isc_dpb_user_name, "DBA");
    add(isc_dpb_password, password);
    add(isc_dpb_lc_ctype, "UTF8");
    ISC_STATUS_ARRAY status{};
    const bool ok = isc_attach_database(status, 0, database.constData(), &db, static_cast<short>(dpb.size()),
                                        dpb.data()) == 0;
    std::fill(dpb.begin(), dpb.end(), '\0');
    if (!ok)
        error = statusText(status);
    return ok;
}

class TillClient
{
public:
    ~TillClient()
    {
        ISC_STATUS_ARRAY status{};
        for (Statement *s : {&m_readSale, &m_readLine, &m_insertSale, &m_updateStock})
            if (s->handle)
                isc_dsql_free_statement(status, &s->handle, DSQL_drop);
        if (m_db)
            isc_detach_database(status, &m_db);
    }

    bool open(const QByteArray &database, const QByteArray &password, QString &error)
    {
        if (!attachAsDba(database, password, m_db, error))
            return false;
        return prepare(m_readSale,
                       "select sale_id, receipt_no, store_id, sale_date, cashier, payment, total "
                       "from sales where sale_id = ?",
                       error) &&
               prepare(m_readLine,
                       "select goods_id, qty, unit_price, discount, amount from sale_lines "
                       "where sale_id = ? and line_no = 1",
                       error) &&
               prepare(m_insertSale,
                       "insert into sales (store_id, customer_id, cashier, payment, total) "
                       "values (?, ?, '王芳', 'CASH', 199.00)",
                       error) &&
               prepare(m_updateStock,
                       "update stock set qty = qty + 1, updated_at = current_timestamp "
                       "where goods_id = ? and store_id = ?",
                       error);
    }

    /// Reads one sale and its first line by primary key in a read-only transaction.
    bool readSale(int saleId, QString &error)
    {
        return run(m_readSale, {saleId}, true, error) && run(m_readLine, {saleId}, true, error);
    }
    /// One new receipt header, committed.
    bool insertSale(int storeId, int customerId, QString &error)
    {
        return run(m_insertSale, {storeId, customerId}, false, error);
    }
    /// One stock row changed, committed.
    bool updateStock(int goodsId, int storeId, QString &error)
    {
        return run(m_updateStock, {goodsId, storeId}, false, error);
    }

    /// Largest sale id (for the random reads).
    int maxSaleId(QString &error)
    {
        Statement s;
        if (!prepare(s, "select max(sale_id) from sales", error))
            return 0;
        if (!run(s, {}, true, error))
            return 0;
        return m_lastInt;
    }

private:
    bool prepare(Statement &s, const char *sql, QString &error)
    {
        ISC_STATUS_ARRAY status{};
        isc_tr_handle tr = 0;
        static const char tpb[] = {isc_tpb_version3, isc_tpb_read, isc_tpb_read_committed,
                                   isc_tpb_rec_version};
        if (isc_start_transaction(status, &tr, 1, &m_db, static_cast<unsigned short>(sizeof tpb), tpb)) {
            error = statusText(status);
            return false;
        }
        s.out = allocSqlda(8);
        if (isc_dsql_allocate_statement(status, &m_db, &s.handle) ||
            isc_dsql_prepare(status, &tr, &s.handle, 0, sql, SQL_DIALECT_V6, s.out)) {
            error = statusText(status) + u" in: "_s + QString::fromUtf8(sql);
            isc_rollback_transaction(status, &tr);
            return false;
        }
        if (s.out->sqld > s.out->sqln) {
            const int n = s.out->sqld;
            std::free(s.out);
            s.out = allocSqlda(n);
            isc_dsql_describe(status, &s.handle, SQL_DIALECT_V6, s.out);
        }
        s.select = s.out->sqld > 0;
        s.buffers.resize(size_t(s.out->sqld));
        s.indicators.resize(size_t(s.out->sqld));
        for (int i = 0; i < s.out->sqld; ++i) {
            XSQLVAR &v = s.out->sqlvar[i];
            s.buffers[size_t(i)].assign(size_t(v.sqllen) + 2 + 8, '\0');
            v.sqldata = s.buffers[size_t(i)].data();
            v.sqlind = &s.indicators[size_t(i)];
        }
        s.in = allocSqlda(4);
        isc_dsql_describe_bind(status, &s.handle, SQL_DIALECT_V6, s.in);
        s.params.resize(size_t(s.in->sqld));
        for (int i = 0; i < s.in->sqld; ++i) {
            XSQLVAR &v = s.in->sqlvar[i];
            v.sqltype = SQL_LONG | 1;
            v.sqllen = sizeof(ISC_LONG);
            v.sqlscale = 0;
            v.sqldata = reinterpret_cast<ISC_SCHAR *>(&s.params[size_t(i)]);
            v.sqlind = &s.zero;
        }
        isc_commit_transaction(status, &tr);
        return true;
    }

    bool run(Statement &s, std::initializer_list<int> params, bool readOnly, QString &error)
    {
        size_t i = 0;
        for (int p : params)
            if (i < s.params.size())
                s.params[i++] = p;
        ISC_STATUS_ARRAY status{};
        isc_tr_handle tr = 0;
        static const char readTpb[] = {isc_tpb_version3, isc_tpb_read, isc_tpb_read_committed,
                                       isc_tpb_rec_version};
        static const char writeTpb[] = {isc_tpb_version3, isc_tpb_write, isc_tpb_read_committed,
                                        isc_tpb_rec_version, isc_tpb_wait};
        const char *tpb = readOnly ? readTpb : writeTpb;
        const auto tpbSize = static_cast<unsigned short>(readOnly ? sizeof readTpb : sizeof writeTpb);
        if (isc_start_transaction(status, &tr, 1, &m_db, tpbSize, tpb)) {
            error = statusText(status);
            return false;
        }
        if (isc_dsql_execute(status, &tr, &s.handle, SQL_DIALECT_V6, s.in->sqld ? s.in : nullptr)) {
            error = statusText(status);
            isc_rollback_transaction(status, &tr);
            return false;
        }
        if (s.select) {
            ISC_STATUS fetch = 0;
            while ((fetch = isc_dsql_fetch(status, &s.handle, SQL_DIALECT_V6, s.out)) == 0) {
                const XSQLVAR &v = s.out->sqlvar[0];
                if ((v.sqltype & ~1) == SQL_LONG && *v.sqlind == 0)
                    m_lastInt = *reinterpret_cast<const ISC_LONG *>(v.sqldata);
            }
            if (fetch != 100) {
                error = statusText(status);
                isc_rollback_transaction(status, &tr);
                return false;
            }
            isc_dsql_free_statement(status, &s.handle, DSQL_close);
        }
        if (isc_commit_transaction(status, &tr)) {
            error = statusText(status);
            isc_rollback_transaction(status, &tr);
            return false;
        }
        return true;
    }

    isc_db_handle m_db = 0;
    Statement m_readSale, m_readLine, m_insertSale, m_updateStock;
    int m_lastInt = 0;
};

struct Sample
{
    SteadyClock::time_point at;
    double ms;
    bool commit;
};

/// Runs the client until stopped: read, insert+commit, read, update+commit, with a pause after each.
class LatencyWorker
{
public:
    LatencyWorker(QByteArray database, QByteArray password, int thinkMs)
        : m_database(std::move(database)), m_password(std::move(password)), m_thinkMs(thinkMs)
    {}

    bool start(QString &error)
    {
        std::promise<QString> ready;
        auto readyFuture = ready.get_future();
        m_thread = std::thread([this, &ready] { run(ready); });
        error = readyFuture.get();
        return error.isEmpty();
    }

    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }

    /// Samples that started in [from, to).
    std::vector<Sample> samples(SteadyClock::time_point from, SteadyClock::time_point to) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<Sample> out;
        for (const Sample &s : m_samples)
            if (s.at >= from && s.at < to)
                out.push_back(s);
        return out;
    }
    int errors() const { return m_errors; }
    QString lastError() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lastError;
    }

private:
    void run(std::promise<QString> &ready)
    {
        TillClient client;
        QString error;
        if (!client.open(m_database, m_password, error)) {
            ready.set_value(error.isEmpty() ? u"cannot attach"_s : error);
            return;
        }
        const int maxSale = client.maxSaleId(error);
        if (maxSale <= 0) {
            ready.set_value(u"no sales in the database: "_s + error);
            return;
        }
        ready.set_value(QString());
        std::mt19937 rng(12345);
        std::uniform_int_distribution<int> sale(1, maxSale), goods(1, 16000), store(1, 8),
            customer(1, 100000);
        for (unsigned n = 0; !m_stop; ++n) {
            const auto t0 = SteadyClock::now();
            bool ok = false;
            bool commit = false;
            switch (n % 4) {
            case 0:
            case 2:
                ok = client.readSale(sale(rng), error);
                break;
            case 1:
                commit = true;
                ok = client.insertSale(store(rng), customer(rng), error);
                break;
            default:
                commit = true;
                ok = client.updateStock(goods(rng), store(rng), error);
                break;
            }
            const auto t1 = SteadyClock::now();
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (ok) {
                    m_samples.push_back({t0, msSince(t0, t1), commit});
                } else {
                    ++m_errors;
                    m_lastError = error;
                }
            }
            if (m_thinkMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(m_thinkMs));
        }
    }

    QByteArray m_database;
    QByteArray m_password;
    int m_thinkMs;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<Sample> m_samples;
    std::atomic<int> m_errors{0};
    QString m_lastError;
};

struct Latency
{
    double p50 = 0, p99 = 0, max = 0;
    size_t count = 0;
};

inline Latency latencyOf(const std::vector<Sample> &samples, int kind) // kind: 0 reads, 1 commits, 2 all
{
    std::vector<double> v;
    for (const Sample &s : samples)
        if (kind == 2 || s.commit == (kind == 1))
            v.push_back(s.ms);
    Latency l;
    l.count = v.size();
    l.p50 = percentile(v, 50);
    l.p99 = percentile(v, 99);
    l.max = percentile(v, 100);
    return l;
}

inline QString describe(const Latency &l)
{
    return u"p50 "_s + num(l.p50, 2) + u" ms, p99 "_s + num(l.p99, 2) + u" ms, max "_s + num(l.max, 1) +
           u" ms (n="_s + QString::number(l.count) + u")"_s;
}

} // namespace garvina::bench
