#include "storage/Db.h"

#include "core/Cp1251.h"

#include <firebird/Interface.h>

#include <QFile>

#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>

using namespace Firebird;

namespace kelcon {

namespace {

// Text parameters are sent as VARYING of this many bytes whatever the column, so that Firebird
// itself reports a value too long for its column ("string truncation") instead of our cutting it.
constexpr unsigned kTextParamBytes = 4000;

constexpr std::size_t kMaxCachedStatements = 256;

IMaster* master() {
    static IMaster* m = fb_get_master_interface();
    return m;
}

IUtil* util() {
    return master()->getUtilInterface();
}

QString statusText(const IStatus* status) {
    char buf[2048];
    util()->formatStatus(buf, sizeof buf, const_cast<IStatus*>(status));
    return QString::fromLocal8Bit(buf).trimmed();
}

// Status for one call sequence: FbException is turned into our DbError, the status is disposed.
class Status {
public:
    Status() : status_(master()->getStatus()) {}
    ~Status() { status_.dispose(); }
    ThrowStatusWrapper* operator&() { return &status_; }

private:
    ThrowStatusWrapper status_;
};

template <class F> auto guarded(F&& f) -> decltype(f(std::declval<ThrowStatusWrapper*>())) {
    Status st;
    try {
        return f(&st);
    } catch (const FbException& e) {
        throw DbError(statusText(e.getStatus()));
    }
}

struct Field {
    QString name;
    unsigned type = 0;
    unsigned length = 0;
    int scale = 0;
    unsigned offset = 0;
    unsigned nullOffset = 0;
};

std::vector<Field> describe(IMessageMetadata* meta, ThrowStatusWrapper* st) {
    std::vector<Field> fields;
    if (!meta)
        return fields;
    const unsigned n = meta->getCount(st);
    fields.reserve(n);
    for (unsigned i = 0; i < n; ++i) {
        Field f;
        const char* alias = meta->getAlias(st, i);
        f.name = QString::fromLatin1(alias && *alias ? alias : meta->getField(st, i)).toUpper();
        f.type = meta->getType(st, i) & ~1u;
        f.length = meta->getLength(st, i);
        f.scale = meta->getScale(st, i);
        f.offset = meta->getOffset(st, i);
        f.nullOffset = meta->getNullOffset(st, i);
        fields.push_back(f);
    }
    return fields;
}

template <class T> void put(unsigned char* buf, const Field& f, T v) {
    std::memcpy(buf + f.offset, &v, sizeof v);
}
template <class T> T get(const unsigned char* buf, const Field& f) {
    T v;
    std::memcpy(&v, buf + f.offset, sizeof v);
    return v;
}

ISC_TIMESTAMP encodeTimestamp(const QDateTime& value) {
    const QDateTime t = value.toLocalTime();
    const QDate d = t.date();
    const QTime tm = t.time();
    ISC_TIMESTAMP ts;
    ts.timestamp_date = util()->encodeDate(unsigned(d.year()), unsigned(d.month()), unsigned(d.day()));
    ts.timestamp_time = util()->encodeTime(unsigned(tm.hour()), unsigned(tm.minute()), unsigned(tm.second()),
                                           unsigned(tm.msec()) * 10);
    return ts;
}

QDate decodeDate(ISC_DATE date) {
    unsigned y = 0, m = 0, d = 0;
    util()->decodeDate(date, &y, &m, &d);
    return QDate(int(y), int(m), int(d));
}

QTime decodeTime(ISC_TIME time) {
    unsigned h = 0, mi = 0, s = 0, frac = 0;
    util()->decodeTime(time, &h, &mi, &s, &frac);
    return QTime(int(h), int(mi), int(s), int(frac / 10));
}

void bindOne(unsigned char* buf, const Field& f, const DbValue& v) {
    const auto bad = [&](const char* what) {
        return DbError(QStringLiteral("Parameter :%1: %2").arg(f.name, QLatin1String(what)));
    };
    *reinterpret_cast<short*>(buf + f.nullOffset) = v.isNull() ? -1 : 0;
    if (v.isNull())
        return;
    const auto integer = [&](qint64 lo, qint64 hi) -> qint64 {
        if (!v.isInteger())
            throw bad("a whole number is expected");
        if (f.scale != 0)
            throw bad("scaled numbers are not supported");
        const qint64 x = v.toInt64();
        if (x < lo || x > hi)
            throw bad("the number is out of the column's range");
        return x;
    };
    switch (f.type) {
    case SQL_SHORT:
        put(buf, f,
            std::int16_t(
                integer(std::numeric_limits<std::int16_t>::min(), std::numeric_limits<std::int16_t>::max())));
        break;
    case SQL_LONG:
        put(buf, f,
            std::int32_t(
                integer(std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max())));
        break;
    case SQL_INT64:
        put(buf, f,
            std::int64_t(integer(std::numeric_limits<qint64>::min(), std::numeric_limits<qint64>::max())));
        break;
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
        if (!v.isInteger() && !v.isDouble())
            throw bad("a number is expected");
        put(buf, f, v.toDouble());
        break;
    case SQL_FLOAT:
        if (!v.isInteger() && !v.isDouble())
            throw bad("a number is expected");
        put(buf, f, float(v.toDouble()));
        break;
    case SQL_TIMESTAMP:
        if (!v.isDateTime() || !v.toDateTime().isValid())
            throw bad("a valid date and time is expected");
        put(buf, f, encodeTimestamp(v.toDateTime()));
        break;
    case SQL_TYPE_DATE:
        if (!v.isDateTime() || !v.toDateTime().isValid())
            throw bad("a valid date is expected");
        put(buf, f, encodeTimestamp(v.toDateTime()).timestamp_date);
        break;
    case SQL_VARYING: {
        if (!v.isText() && !v.isInteger())
            throw bad("a text is expected");
        const QByteArray bytes = toCp1251(v.toString());
        if (unsigned(bytes.size()) > f.length)
            throw bad("the text is too long");
        const auto len = std::uint16_t(bytes.size());
        std::memcpy(buf + f.offset, &len, sizeof len);
        std::memcpy(buf + f.offset + sizeof len, bytes.constData(), std::size_t(bytes.size()));
        break;
    }
    default:
        throw bad("unsupported parameter type");
    }
}

DbValue readOne(const unsigned char* buf, const Field& f) {
    if (*reinterpret_cast<const short*>(buf + f.nullOffset) != 0)
        return {};
    const auto scaled = [&](qint64 x) -> DbValue {
        if (f.scale == 0)
            return x;
        return double(x) * std::pow(10.0, f.scale);
    };
    switch (f.type) {
    case SQL_SHORT:
        return scaled(get<std::int16_t>(buf, f));
    case SQL_LONG:
        return scaled(get<std::int32_t>(buf, f));
    case SQL_INT64:
        return scaled(get<std::int64_t>(buf, f));
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
        return get<double>(buf, f);
    case SQL_FLOAT:
        return double(get<float>(buf, f));
    case SQL_BOOLEAN:
        return qint64(buf[f.offset] ? 1 : 0);
    case SQL_TIMESTAMP: {
        const auto ts = get<ISC_TIMESTAMP>(buf, f);
        return QDateTime(decodeDate(ts.timestamp_date), decodeTime(ts.timestamp_time));
    }
    case SQL_TYPE_DATE:
        return QDateTime(decodeDate(get<ISC_DATE>(buf, f)), QTime(0, 0));
    case SQL_TYPE_TIME:
        return QDateTime(QDate(1899, 12, 30), decodeTime(get<ISC_TIME>(buf, f)));
    case SQL_TEXT: {
        // CHAR is blank-padded to its length; the blanks are not part of the value.
        const char* p = reinterpret_cast<const char*>(buf + f.offset);
        qsizetype n = f.length;
        while (n > 0 && p[n - 1] == ' ')
            --n;
        return fromCp1251(p, n);
    }
    case SQL_VARYING: {
        const auto len = get<std::uint16_t>(buf, f);
        return fromCp1251(reinterpret_cast<const char*>(buf + f.offset + 2), len);
    }
    default:
        throw DbError(QStringLiteral("Column %1: unsupported type %2").arg(f.name).arg(f.type));
    }
}

} // namespace

DbError::DbError(const QString& text) : std::runtime_error(text.toStdString()), text_(text) {}

qint64 DbValue::toInt64() const {
    if (isNull())
        return 0;
    if (auto p = std::get_if<qint64>(&v_))
        return *p;
    if (auto p = std::get_if<double>(&v_))
        return qint64(std::llround(*p));
    throw DbError(QStringLiteral("Value is not a number"));
}

double DbValue::toDouble() const {
    if (isNull())
        return 0;
    if (auto p = std::get_if<double>(&v_))
        return *p;
    if (auto p = std::get_if<qint64>(&v_))
        return double(*p);
    throw DbError(QStringLiteral("Value is not a number"));
}

QDateTime DbValue::toDateTime() const {
    if (isNull())
        return {};
    if (auto p = std::get_if<QDateTime>(&v_))
        return *p;
    throw DbError(QStringLiteral("Value is not a date and time"));
}

QString DbValue::toString() const {
    if (isNull())
        return {};
    if (auto p = std::get_if<QString>(&v_))
        return *p;
    if (auto p = std::get_if<qint64>(&v_))
        return QString::number(*p);
    if (auto p = std::get_if<double>(&v_))
        return QString::number(*p);
    return std::get<QDateTime>(v_).toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"));
}

DbParams& DbParams::set(const QString& name, const DbValue& value) {
    for (auto& [n, v] : items_) {
        if (n.compare(name, Qt::CaseInsensitive) == 0) {
            v = value;
            return *this;
        }
    }
    items_.emplace_back(name, value);
    return *this;
}

const DbValue* DbParams::find(const QString& name) const {
    for (const auto& [n, v] : items_)
        if (n.compare(name, Qt::CaseInsensitive) == 0)
            return &v;
    return nullptr;
}

int DbRow::indexOf(const QString& column) const {
    for (int i = 0; i < columns_->size(); ++i)
        if (columns_->at(i).compare(column, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

const DbValue& DbRow::value(const QString& column) const {
    const int i = indexOf(column);
    if (i < 0)
        throw DbError(QStringLiteral("Column unknown: %1").arg(column));
    return values_[std::size_t(i)];
}

QString toPositionalSql(const QString& sql, QStringList* names) {
    QString out;
    out.reserve(sql.size());
    const auto isNameChar = [](QChar c) { return c.isLetterOrNumber() || c == u'_' || c == u'$'; };
    for (qsizetype i = 0; i < sql.size();) {
        const QChar c = sql[i];
        if (c == u'\'' || c == u'"') {
            // A doubled quote inside stays inside: both halves are copied by the loop.
            qsizetype j = sql.indexOf(c, i + 1);
            j = j < 0 ? sql.size() : j + 1;
            out += QStringView(sql).mid(i, j - i);
            i = j;
        } else if (c == u'-' && i + 1 < sql.size() && sql[i + 1] == u'-') {
            qsizetype j = sql.indexOf(u'\n', i);
            j = j < 0 ? sql.size() : j;
            out += QStringView(sql).mid(i, j - i);
            i = j;
        } else if (c == u'/' && i + 1 < sql.size() && sql[i + 1] == u'*') {
            qsizetype j = sql.indexOf(QStringLiteral("*/"), i + 2);
            j = j < 0 ? sql.size() : j + 2;
            out += QStringView(sql).mid(i, j - i);
            i = j;
        } else if (c == u':' && i + 1 < sql.size() && (sql[i + 1].isLetter() || sql[i + 1] == u'_')) {
            qsizetype j = i + 1;
            while (j < sql.size() && isNameChar(sql[j]))
                ++j;
            if (names)
                names->append(sql.mid(i + 1, j - i - 1));
            out += u'?';
            i = j;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

struct PreparedStatement {
    IStatement* stmt = nullptr;
    IMessageMetadata* inMeta = nullptr;
    IMessageMetadata* outMeta = nullptr;
    unsigned type = 0;
    QStringList paramNames;
    std::vector<Field> params;
    std::vector<Field> columns;
    std::shared_ptr<const QStringList> columnNames;
    std::vector<unsigned char> inBuf;
    std::vector<unsigned char> outBuf;
    bool busy = false;

    bool returnsRows() const {
        return type == isc_info_sql_stmt_select || type == isc_info_sql_stmt_select_for_upd;
    }

    ~PreparedStatement() {
        // Freeing can fail only when the attachment is gone; there is nothing left to clean then.
        CheckStatusWrapper st(master()->getStatus());
        if (stmt) {
            stmt->free(&st);
            if (st.getState() & IStatus::STATE_ERRORS)
                stmt->release();
        }
        if (inMeta)
            inMeta->release();
        if (outMeta)
            outMeta->release();
        st.dispose();
    }
};

struct DbConnection::Impl {
    IAttachment* att = nullptr;
    ITransaction* tx = nullptr;
    std::unordered_map<QString, std::unique_ptr<PreparedStatement>> cache;

    void dropAttachment() {
        cache.clear();
        CheckStatusWrapper st(master()->getStatus());
        if (tx) {
            tx->rollback(&st);
            if (st.getState() & IStatus::STATE_ERRORS)
                tx->release();
            tx = nullptr;
        }
        if (att) {
            st.init();
            att->detach(&st);
            if (st.getState() & IStatus::STATE_ERRORS)
                att->release();
            att = nullptr;
        }
        st.dispose();
    }
};

namespace {

QByteArray dpb(bool create) {
    return guarded([&](ThrowStatusWrapper* st) {
        IXpbBuilder* b = util()->getXpbBuilder(st, IXpbBuilder::DPB, nullptr, 0);
        b->insertString(st, isc_dpb_user_name, "SYSDBA");
        b->insertString(st, isc_dpb_password, "quillbank");
        if (create) {
            b->insertInt(st, isc_dpb_page_size, 4096);
            b->insertInt(st, isc_dpb_sql_dialect, 3);
        } else {
            b->insertInt(st, isc_dpb_force_write, 1);
        }
        QByteArray bytes(reinterpret_cast<const char*>(b->getBuffer(st)), qsizetype(b->getBufferLength(st)));
        b->dispose();
        return bytes;
    });
}

} // namespace

DbConnection::DbConnection(TransactionMode mode) : d_(std::make_unique<Impl>()), mode_(mode) {}

DbConnection::~DbConnection() {
    try {
        close();
    } catch (const DbError&) {
        d_->dropAttachment();
    }
}

void DbConnection::create(const QString& file) {
    attach(file, true);
}

void DbConnection::open(const QString& file) {
    attach(file, false);
}

void DbConnection::attach(const QString& file, bool create) {
    close();
    const QByteArray params = dpb(create);
    const QByteArray path = QFile::encodeName(file);
    d_->att = guarded([&](ThrowStatusWrapper* st) {
        IProvider* prov = master()->getDispatcher();
        IAttachment* a = nullptr;
        try {
            const auto* bytes = reinterpret_cast<const unsigned char*>(params.constData());
            a = create ? prov->createDatabase(st, path.constData(), unsigned(params.size()), bytes)
                       : prov->attachDatabase(st, path.constData(), unsigned(params.size()), bytes);
        } catch (...) {
            prov->release();
            throw;
        }
        prov->release();
        return a;
    });
    file_ = file;
}

void DbConnection::close() {
    if (!d_->att)
        return;
    try {
        commit();
    } catch (const DbError&) {
        d_->dropAttachment();
        throw;
    }
    d_->cache.clear();
    IAttachment* att = std::exchange(d_->att, nullptr);
    guarded([&](ThrowStatusWrapper* st) {
        try {
            att->detach(st);
        } catch (...) {
            att->release();
            throw;
        }
    });
}

bool DbConnection::isOpen() const {
    return d_->att != nullptr;
}

bool DbConnection::inTransaction() const {
    return d_->tx != nullptr;
}

void DbConnection::commit() {
    if (!d_->tx)
        return;
    guarded([&](ThrowStatusWrapper* st) { d_->tx->commit(st); });
    d_->tx = nullptr;
}

void DbConnection::rollback() {
    if (!d_->tx)
        return;
    ITransaction* tx = std::exchange(d_->tx, nullptr);
    guarded([&](ThrowStatusWrapper* st) {
        try {
            tx->rollback(st);
        } catch (...) {
            tx->release();
            throw;
        }
    });
}

int DbConnection::cachedStatements() const {
    return int(d_->cache.size());
}

namespace {

ITransaction* startTransaction(IAttachment* att, TransactionMode mode) {
    return guarded([&](ThrowStatusWrapper* st) {
        if (mode == TransactionMode::Default)
            return att->startTransaction(st, 0, nullptr);
        static const unsigned char tpb[] = {isc_tpb_version3, isc_tpb_write, isc_tpb_read_committed,
                                            isc_tpb_rec_version, isc_tpb_nowait};
        return att->startTransaction(st, sizeof tpb, tpb);
    });
}

std::unique_ptr<PreparedStatement> prepareStatement(IAttachment* att, ITransaction* tx, const QString& sql) {
    auto s = std::make_unique<PreparedStatement>();
    const QByteArray text = toCp1251(toPositionalSql(sql, &s->paramNames));
    guarded([&](ThrowStatusWrapper* st) {
        s->stmt = att->prepare(st, tx, 0, text.constData(), 3, IStatement::PREPARE_PREFETCH_METADATA);
        s->type = s->stmt->getType(st);

        IMessageMetadata* in = s->stmt->getInputMetadata(st);
        const unsigned n = in->getCount(st);
        bool rebuild = false;
        for (unsigned i = 0; i < n; ++i) {
            const unsigned t = in->getType(st, i);
            rebuild = rebuild || t == SQL_TEXT || t == SQL_VARYING;
        }
        if (rebuild) {
            IMetadataBuilder* b = in->getBuilder(st);
            for (unsigned i = 0; i < n; ++i) {
                const unsigned t = in->getType(st, i);
                if (t == SQL_TEXT || t == SQL_VARYING) {
                    b->setType(st, i, SQL_VARYING);
                    b->setLength(st, i, kTextParamBytes);
                }
            }
            IMessageMetadata* built = b->getMetadata(st);
            b->release();
            in->release();
            in = built;
        }
        s->inMeta = in;
        s->params = describe(in, st);
        s->inBuf.assign(in->getMessageLength(st), 0);

        s->outMeta = s->stmt->getOutputMetadata(st);
        s->columns = describe(s->outMeta, st);
        s->outBuf.assign(s->outMeta->getMessageLength(st), 0);
    });
    if (s->paramNames.size() != qsizetype(s->params.size()))
        throw DbError(QStringLiteral("Parameters of the statement do not match its text: %1").arg(sql));
    QStringList names;
    for (qsizetype i = 0; i < s->paramNames.size(); ++i)
        s->params[std::size_t(i)].name = s->paramNames[i];
    for (const Field& f : s->columns)
        names << f.name;
    s->columnNames = std::make_shared<const QStringList>(names);
    return s;
}

void bindAll(PreparedStatement& s, const DbParams& params) {
    std::fill(s.inBuf.begin(), s.inBuf.end(), 0);
    for (const Field& f : s.params) {
        const DbValue* v = params.find(f.name);
        if (!v)
            throw DbError(QStringLiteral("No value for parameter :%1").arg(f.name));
        bindOne(s.inBuf.data(), f, *v);
    }
}

DbRow makeRow(const PreparedStatement& s) {
    std::vector<DbValue> values;
    values.reserve(s.columns.size());
    for (const Field& f : s.columns)
        values.push_back(readOne(s.outBuf.data(), f));
    return DbRow(s.columnNames, std::move(values));
}

} // namespace

// The cached statement for `sql` when it is free, otherwise a fresh one in `own` (DDL is never
// kept: a kept statement would hold the tables it names).
PreparedStatement& DbConnection::statementFor(const QString& sql, std::unique_ptr<PreparedStatement>& own) {
    if (!d_->att)
        throw DbError(QStringLiteral("The database is not open"));
    if (!d_->tx) {
        d_->tx = startTransaction(d_->att, mode_);
        if (onTxStarted_)
            onTxStarted_();
    }
    auto it = d_->cache.find(sql);
    if (it != d_->cache.end() && !it->second->busy)
        return *it->second;
    own = prepareStatement(d_->att, d_->tx, sql);
    if (own->type == isc_info_sql_stmt_ddl || it != d_->cache.end())
        return *own;
    // Texts that carry values as literals would grow the cache without end; start it afresh.
    if (d_->cache.size() >= kMaxCachedStatements)
        std::erase_if(d_->cache, [](const auto& entry) { return !entry.second->busy; });
    return *d_->cache.emplace(sql, std::move(own)).first->second;
}

namespace {

struct Busy {
    explicit Busy(PreparedStatement& s) : s_(s) { s_.busy = true; }
    ~Busy() { s_.busy = false; }
    PreparedStatement& s_;
};

} // namespace

std::uint64_t DbConnection::execute(const QString& sql, const DbParams& params) {
    std::unique_ptr<PreparedStatement> own;
    PreparedStatement& s = statementFor(sql, own);
    Busy busy(s);
    bindAll(s, params);
    if (s.returnsRows()) {
        std::uint64_t n = 0;
        forEachIn(s, [&](const DbRow&) { return ++n, true; });
        return n;
    }
    return guarded([&](ThrowStatusWrapper* st) -> std::uint64_t {
        s.stmt->execute(st, d_->tx, s.inMeta, s.inBuf.data(), s.outMeta, s.outBuf.data());
        return s.type == isc_info_sql_stmt_ddl ? 0 : s.stmt->getAffectedRecords(st);
    });
}

DbRows DbConnection::query(const QString& sql, const DbParams& params) {
    DbRows rows;
    forEach(sql, params, [&](const DbRow& r) {
        rows.push_back(r);
        return true;
    });
    return rows;
}

void DbConnection::forEach(const QString& sql, const DbParams& params,
                           const std::function<bool(const DbRow&)>& row) {
    std::unique_ptr<PreparedStatement> own;
    PreparedStatement& s = statementFor(sql, own);
    Busy busy(s);
    bindAll(s, params);
    if (!s.returnsRows()) {
        // EXECUTE PROCEDURE and INSERT ... RETURNING give their one row through execute.
        guarded([&](ThrowStatusWrapper* st) {
            s.stmt->execute(st, d_->tx, s.inMeta, s.inBuf.data(), s.outMeta, s.outBuf.data());
        });
        if (!s.columns.empty())
            row(makeRow(s));
        return;
    }
    forEachIn(s, row);
}

void DbConnection::forEachIn(PreparedStatement& s, const std::function<bool(const DbRow&)>& row) {
    IResultSet* rs = guarded([&](ThrowStatusWrapper* st) {
        return s.stmt->openCursor(st, d_->tx, s.inMeta, s.inBuf.data(), s.outMeta, 0);
    });
    struct Close {
        IResultSet* rs;
        ~Close() {
            CheckStatusWrapper st(master()->getStatus());
            rs->close(&st);
            if (st.getState() & IStatus::STATE_ERRORS)
                rs->release();
            st.dispose();
        }
    } close{rs};
    for (;;) {
        const int r = guarded([&](ThrowStatusWrapper* st) { return rs->fetchNext(st, s.outBuf.data()); });
        if (r != IStatus::RESULT_OK)
            break;
        if (!row(makeRow(s)))
            break;
    }
}

QStringList DbConnection::userTables() {
    QStringList names;
    forEach(QStringLiteral("select RDB$RELATION_NAME from RDB$RELATIONS "
                           "where coalesce(RDB$SYSTEM_FLAG, 0) = 0 and RDB$VIEW_BLR is null "
                           "order by RDB$RELATION_NAME"),
            {}, [&](const DbRow& r) {
                names << r.at(0).toString().trimmed().toUpper();
                return true;
            });
    return names;
}

bool DbConnection::tableExists(const QString& name) {
    return !query(QStringLiteral("select 1 from RDB$RELATIONS where RDB$RELATION_NAME = :Name "
                                 "and coalesce(RDB$SYSTEM_FLAG, 0) = 0 and RDB$VIEW_BLR is null"),
                  {{QStringLiteral("Name"), name.toUpper()}})
                .empty();
}

QStringList DbConnection::fields(const QString& table) {
    QStringList names;
    forEach(QStringLiteral("select RDB$FIELD_NAME from RDB$RELATION_FIELDS where RDB$RELATION_NAME = :Name "
                           "order by RDB$FIELD_POSITION"),
            {{QStringLiteral("Name"), table.toUpper()}}, [&](const DbRow& r) {
                names << r.at(0).toString().trimmed();
                return true;
            });
    return names;
}

bool DbConnection::indexExists(const QString& name) {
    return !query(QStringLiteral("select 1 from RDB$INDICES where RDB$INDEX_NAME = :Name"),
                  {{QStringLiteral("Name"), name.toUpper()}})
                .empty();
}

} // namespace kelcon
