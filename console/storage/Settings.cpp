#include "storage/Settings.h"

#include "storage/Schema.h"

#include <algorithm>

namespace kelcon {

namespace {

const QString kSelectParam = QStringLiteral("select * from PARAM where NameParam=:NParam");

void attach(DbConnection& db, const QString& file) {
    try {
        db.open(file);
    } catch (const DbError& e) {
        throw SettingsUnavailable(e.text());
    }
}

} // namespace

SettingsStore::Batch::Batch(SettingsStore& store) : store_(store) {
    if (store_.batch_)
        return;
    db_ = std::make_unique<DbConnection>();
    attach(*db_, store_.file_);
    store_.batch_ = db_.get();
}

SettingsStore::Batch::~Batch() {
    if (db_)
        store_.batch_ = nullptr;
}

// Each access has the file only for its own duration (or the batch's), so nothing else finds it
// locked for long.
template <class F> auto SettingsStore::access(F&& f) {
    if (batch_) {
        auto result = f(*batch_);
        batch_->commit();
        return result;
    }
    DbConnection db;
    attach(db, file_);
    auto result = f(db);
    db.close();
    return result;
}

QString SettingsStore::read(const QString& name) {
    return access([&](DbConnection& db) {
        const DbRows rows = db.query(kSelectParam, {{QStringLiteral("NParam"), name}});
        if (!rows.empty())
            return rows.front().toString(QStringLiteral("ZNPARAM"));
        db.execute(QStringLiteral("insert into PARAM (NameParam,ZnParam)\nvalues (:NParam,:ZParam)"),
                   {{QStringLiteral("NParam"), name}, {QStringLiteral("ZParam"), QString()}});
        return QString();
    });
}

void SettingsStore::write(const QString& name, const QString& value) {
    access([&](DbConnection& db) {
        return db.execute(QStringLiteral("update PARAM set ZNPARAM=:ZParam where NameParam=:NParam"),
                          {{QStringLiteral("ZParam"), value}, {QStringLiteral("NParam"), name}});
    });
}

QList<SettingsStore::RemoteNode> SettingsStore::remoteNodes() {
    return access([&](DbConnection& db) {
        QList<RemoteNode> nodes;
        db.forEach(kSelectParam, {{QStringLiteral("NParam"), QStringLiteral("adr_disp")}},
                   [&](const DbRow& r) {
                       const QString value = r.toString(QStringLiteral("ZNPARAM")).trimmed();
                       const qsizetype hash = value.indexOf(u'#');
                       if (hash < 0)
                           nodes.append({QString(), value});
                       else
                           nodes.append({value.left(hash), value.mid(hash + 1)});
                       return true;
                   });
        return nodes;
    });
}

QString formatComParam(const TComParam& p) {
    const auto inList = [](int i, int first, int last) { return i >= first && i <= last; };
    if (!inList(p.baudIndex, kMinBaudIndex, kMaxBaudIndex) ||
        !inList(p.dataBitsIndex, 0, kMaxDataBitsIndex) || !inList(p.stopBitsIndex, 0, kMaxStopBitsIndex) ||
        !inList(p.parityIndex, 0, kMaxParityIndex) || p.port == 0)
        return {};
    const auto digit = [](int i) { return QString::number(i, 16).toUpper(); };
    return QString(p.on ? u'1' : u'0') + digit(p.baudIndex) + digit(p.dataBitsIndex) +
           digit(p.stopBitsIndex) + digit(p.parityIndex) + QString::number(p.port);
}

TComParam parseComParam(const QString& stored, quint16 defaultPort, QString* error) {
    QString value = stored;
    while (!value.isEmpty() && value.back().isSpace())
        value.chop(1);
    TComParam p;
    p.on = value.startsWith(u'1');
    p.port = defaultPort;
    QStringList bad;
    // Baud indexes 10-15 come as one hex digit so that the later fields keep their places. An index
    // outside its list would reach the serial port as a setting it cannot take (baud rate 0).
    const auto field = [&](qsizetype pos, int base, int first, int last, int& out, const char* what) {
        bool ok = false;
        const int v = pos < value.size() ? QString(value[pos]).toInt(&ok, base) : 0;
        if (ok && v >= first && v <= last)
            out = v;
        else
            bad << QString::fromUtf8(what);
    };
    field(1, 16, kMinBaudIndex, kMaxBaudIndex, p.baudIndex, "скорость");
    field(2, 10, 0, kMaxDataBitsIndex, p.dataBitsIndex, "биты данных");
    field(3, 10, 0, kMaxStopBitsIndex, p.stopBitsIndex, "стоповые биты");
    field(4, 10, 0, kMaxParityIndex, p.parityIndex, "четность");
    // Digits only: the number reader would take a sign or blanks around the number.
    const QString digits = value.mid(5);
    bool ok = !digits.isEmpty() &&
              std::all_of(digits.begin(), digits.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    const uint port = ok ? digits.toUInt(&ok, 10) : 0;
    if (ok && port >= 1 && port <= 65535)
        p.port = quint16(port);
    else
        bad << QStringLiteral("порт");
    if (error)
        *error = bad.join(QStringLiteral(", "));
    return p;
}

namespace {

bool isTrue(const QString& value) {
    return value == QStringLiteral("true");
}

int minutesSetting(SettingsStore& store, const QString& name, int fallback) {
    bool ok = false;
    const int v = store.read(name).trimmed().toInt(&ok);
    // A negative count would make every controller inactive at once; it is as unusable as text.
    if (ok && v > 0)
        return v;
    store.write(name, QString::number(fallback));
    return fallback;
}

std::optional<TComParam> comSetting(SettingsStore& store, const QString& name, quint16 defaultPort,
                                    const std::function<void(const QString&)>& postEvent) {
    const QString value = store.read(name);
    if (value.trimmed().isEmpty()) {
        TComParam p;
        p.port = defaultPort;
        store.write(name, formatComParam(p));
        return p;
    }
    if (!value.startsWith(u'1'))
        return std::nullopt;
    QString error;
    TComParam p = parseComParam(value, defaultPort, &error);
    if (!error.isEmpty() && postEvent)
        postEvent(QStringLiteral("Параметр %1 = \"%2\": неверно указано (%3), взято значение по умолчанию")
                      .arg(name, value, error));
    return p;
}

} // namespace

TSettings loadSettings(SettingsStore& store, const std::function<void(const QString&)>& postEvent) {
    SettingsStore::Batch batch(store);
    TSettings s;

    if (isTrue(store.read(QStringLiteral("passw_vkl")))) {
        s.networkPassword = store.read(QStringLiteral("passw_upr")).trimmed();
        s.changesOverNetwork = true;
    }

    s.logon = store.read(QStringLiteral("logon_vkl"));
    s.nodeName = store.read(QStringLiteral("name_serv"));

    s.updateHost = store.read(QStringLiteral("hostupdate"));
    const QString host = s.updateHost.trimmed();
    if (host.isEmpty() || host == kRetiredUpdateHost1 || host == kRetiredUpdateHost2) {
        s.updateHost = kUpdateHost;
        store.write(QStringLiteral("hostupdate"), kUpdateHost);
    }

    const QString port = store.read(QStringLiteral("portremot"));
    if (port.isEmpty()) {
        store.write(QStringLiteral("portremot"), QString::number(kDefaultRemotePort));
    } else {
        bool ok = false;
        const uint n = port.trimmed().toUInt(&ok);
        if (ok && n >= 1 && n <= 65535) {
            s.remotePort = quint16(n);
        } else if (postEvent) {
            postEvent(QStringLiteral("Параметр portremot = \"%1\": неверный номер порта, взят порт %2")
                          .arg(port)
                          .arg(kDefaultRemotePort));
        }
    }

    QString autoUpdate = store.read(QStringLiteral("autoupdate"));
    if (autoUpdate.isEmpty()) {
        autoUpdate = QStringLiteral("true");
        store.write(QStringLiteral("autoupdate"), autoUpdate);
    }
    s.autoUpdate = isTrue(autoUpdate);

    s.neact02 = minutesSetting(store, QStringLiteral("neact02"), 5);
    s.neact06 = minutesSetting(store, QStringLiteral("neact06"), 60);

    s.ipAlert = store.read(QStringLiteral("ip_alert")).trimmed();
    s.forwardAlarms = !s.ipAlert.isEmpty();

    s.remoteControlOnly = isTrue(store.read(QStringLiteral("only_remot")));
    s.timeSync = isTrue(store.read(QStringLiteral("time_sync")));

    s.com1 = comSetting(store, QStringLiteral("com1_param"), kDefaultCom1Port, postEvent);
    s.com2 = comSetting(store, QStringLiteral("com2_param"), kDefaultCom2Port, postEvent);

    s.sendMail = isTrue(store.read(QStringLiteral("send_mail")).trimmed());

    const auto taken = [&](const QString& name, QString& field) {
        const QString v = store.read(name);
        if (!v.isEmpty())
            field = v;
    };
    taken(QStringLiteral("smtp_port"), s.smtpPort);
    taken(QStringLiteral("smtp_addr"), s.smtpAddr);
    taken(QStringLiteral("from_mail"), s.fromMail);
    taken(QStringLiteral("to_mail"), s.toMail);
    taken(QStringLiteral("log_mail"), s.logMail);
    taken(QStringLiteral("pass_mail"), s.passMail);
    taken(QStringLiteral("subj_mail"), s.subjMail);

    s.sslMail = isTrue(store.read(QStringLiteral("ssl_mail")).trimmed());
    return s;
}

} // namespace kelcon
