#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <utility>
#include <variant>
#include <vector>

namespace kelcon {

// Every failure of the database layer: the text is Firebird's own message (or ours where the
// engine never saw the request, e.g. a parameter that no statement names).
class DbError : public std::runtime_error {
public:
    explicit DbError(const QString& text);
    QString text() const { return text_; }

private:
    QString text_;
};

// One parameter or column value. Integers cover INTEGER and SMALLINT (range-checked against the
// column when bound), QDateTime is local time for TIMESTAMP, QString crosses as Windows-1251.
class DbValue {
public:
    DbValue() = default; // NULL
    DbValue(std::nullptr_t) {}
    DbValue(int v) : v_(qint64(v)) {}
    DbValue(unsigned v) : v_(qint64(v)) {}
    DbValue(qint64 v) : v_(v) {}
    DbValue(double v) : v_(v) {}
    DbValue(const QDateTime& v) : v_(v) {}
    DbValue(const QString& v) : v_(v) {}
    DbValue(const char* utf8) : v_(QString::fromUtf8(utf8)) {}
    DbValue(bool) = delete; // flags are stored as "true"/"false" texts, never as numbers

    bool isNull() const { return std::holds_alternative<std::monostate>(v_); }
    bool isInteger() const { return std::holds_alternative<qint64>(v_); }
    bool isDouble() const { return std::holds_alternative<double>(v_); }
    bool isDateTime() const { return std::holds_alternative<QDateTime>(v_); }
    bool isText() const { return std::holds_alternative<QString>(v_); }

    // NULL reads as 0, an empty text or an invalid QDateTime; a value of another kind throws DbError.
    qint64 toInt64() const;
    int toInt() const { return int(toInt64()); }
    double toDouble() const;
    QDateTime toDateTime() const;
    QString toString() const; // numbers are given in decimal

private:
    std::variant<std::monostate, qint64, double, QDateTime, QString> v_;
};

// Named parameters as the statements write them (":DateTime" is bound by "DateTime"); names
// compare without regard to case.
class DbParams {
public:
    DbParams() = default;
    DbParams(std::initializer_list<std::pair<QString, DbValue>> items) : items_(items) {}
    DbParams& set(const QString& name, const DbValue& value);
    const DbValue* find(const QString& name) const;

private:
    std::vector<std::pair<QString, DbValue>> items_;
};

// One result row; columns are found by name without regard to case, CHAR values come back
// without their trailing blanks.
class DbRow {
public:
    DbRow(std::shared_ptr<const QStringList> columns, std::vector<DbValue> values)
        : columns_(std::move(columns)), values_(std::move(values)) {}
    const DbValue& value(const QString& column) const; // DbError for an unknown column
    const DbValue& at(int index) const { return values_.at(std::size_t(index)); }
    bool has(const QString& column) const { return indexOf(column) >= 0; }
    int size() const { return int(values_.size()); }
    const QStringList& columns() const { return *columns_; }

    bool isNull(const QString& column) const { return value(column).isNull(); }
    int toInt(const QString& column) const { return value(column).toInt(); }
    QString toString(const QString& column) const { return value(column).toString(); }
    QDateTime toDateTime(const QString& column) const { return value(column).toDateTime(); }

private:
    int indexOf(const QString& column) const;
    std::shared_ptr<const QStringList> columns_;
    std::vector<DbValue> values_;
};

using DbRows = std::vector<DbRow>;

struct PreparedStatement;

enum class TransactionMode {
    Default,       // the settings database
    ReadCommitted, // the event database: read_committed, rec_version, nowait
};

// One attachment with its one open transaction (started by the first statement after a commit).
// Prepared statements are kept by SQL text for the life of the attachment, since the frame log
// and the device register run the same few statements for every frame.
class DbConnection {
public:
    explicit DbConnection(TransactionMode mode = TransactionMode::Default);
    ~DbConnection(); // commits what is open; a failure there is dropped, nothing leaves a destructor
    DbConnection(const DbConnection&) = delete;
    DbConnection& operator=(const DbConnection&) = delete;

    // A new file (user SYSDBA, page size 4096, dialect 3, charset NONE); the connection stays attached.
    void create(const QString& file);
    void open(const QString& file); // user SYSDBA, forced writes on
    void close();                   // commits, then detaches; harmless when closed
    bool isOpen() const;
    QString fileName() const { return file_; }

    void commit(); // no-op without an open transaction
    void rollback();
    bool inTransaction() const;

    // Runs any statement that returns no rows (DDL included); returns the rows it changed.
    std::uint64_t execute(const QString& sql, const DbParams& params = {});
    DbRows query(const QString& sql, const DbParams& params = {});
    // Streams rows; the callback returns false to stop early.
    void forEach(const QString& sql, const DbParams& params, const std::function<bool(const DbRow&)>& row);

    QStringList userTables();                 // upper case, without system tables and views
    bool tableExists(const QString& name);    // asks the catalogue
    QStringList fields(const QString& table); // column names in their order
    bool indexExists(const QString& name);

    // Called whenever a statement starts a new transaction, i.e. something became uncommitted;
    // the commit scheduler hangs here.
    void setTransactionStarted(std::function<void()> handler) { onTxStarted_ = std::move(handler); }

    int cachedStatements() const;

    struct Impl;

private:
    void attach(const QString& file, bool create);
    PreparedStatement& statementFor(const QString& sql, std::unique_ptr<PreparedStatement>& own);
    void forEachIn(PreparedStatement& s, const std::function<bool(const DbRow&)>& row);

    std::unique_ptr<Impl> d_;
    TransactionMode mode_;
    QString file_;
    std::function<void()> onTxStarted_;
};

// ":Name" placeholders become "?" (quoted literals and identifiers are left alone); the names are
// returned in the order of their places.
QString toPositionalSql(const QString& sql, QStringList* names);

} // namespace kelcon
