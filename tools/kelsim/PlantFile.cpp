#include "PlantFile.h"

#include <QHash>

namespace kelcon::kelsim {

const ZdanDesc* PlantDesc::zdan(int number) const {
    for (const auto& z : zdaniya)
        if (z.number == number)
            return &z;
    return nullptr;
}

const UzelDesc* PlantDesc::uzel(UzelIdent ident) const {
    for (const auto& u : uzly)
        if (u.ident == ident)
            return &u;
    return nullptr;
}

namespace {

constexpr int kNameLength = 10;

struct ParseError {
    QString text;
};

// Splits at blanks; a double quote opens and closes a group that may hold blanks (the quotes are dropped).
QStringList tokens(const QString& line) {
    QStringList out;
    QString current;
    bool quoted = false, any = false;
    for (QChar c : line) {
        if (c == u'"') {
            quoted = !quoted;
            any = true;
        } else if (!quoted && c.isSpace()) {
            if (any)
                out << current;
            current.clear();
            any = false;
        } else {
            current += c;
            any = true;
        }
    }
    if (quoted)
        throw ParseError{QStringLiteral("unclosed quote")};
    if (any)
        out << current;
    return out;
}

int toInt(const QString& text, int min, int max, const char* what) {
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < min || v > max)
        throw ParseError{
            QStringLiteral("%1 must be a number %2..%3, not \"%4\"").arg(what).arg(min).arg(max).arg(text)};
    return v;
}

UzelIdent toIdent(const QString& text) {
    bool ok = false;
    const quint32 v = text.toUInt(&ok, 16);
    if (!ok || text.size() > 8 || v == 0)
        throw ParseError{QStringLiteral("a node identifier is 1-8 hex digits, not 0: \"%1\"").arg(text)};
    return UzelIdent(v);
}

QString checkedName(const QString& name) {
    if (name.size() > kNameLength)
        throw ParseError{
            QStringLiteral("name \"%1\" is longer than %2 characters").arg(name).arg(kNameLength)};
    return name;
}

// "[h:]mm:ss" or plain seconds.
qint64 toSeconds(const QString& text) {
    const QStringList parts = text.split(u':');
    if (parts.size() > 3)
        throw ParseError{QStringLiteral("bad time \"%1\"").arg(text)};
    qint64 total = 0;
    for (const QString& p : parts) {
        bool ok = false;
        const int v = p.toInt(&ok);
        if (!ok || v < 0)
            throw ParseError{QStringLiteral("bad time \"%1\"").arg(text)};
        total = total * 60 + v;
    }
    return total;
}

bool toFlag(const QString& text) {
    if (text == u"yes" || text == u"1" || text == u"true")
        return true;
    if (text == u"no" || text == u"0" || text == u"false")
        return false;
    throw ParseError{QStringLiteral("yes or no, not \"%1\"").arg(text)};
}

// key=value options after the positional tokens; every key must be one the line kind knows.
QHash<QString, QString> options(const QStringList& t, int from, const QStringList& known) {
    QHash<QString, QString> out;
    for (int i = from; i < t.size(); ++i) {
        const int eq = t[i].indexOf(u'=');
        if (eq <= 0)
            throw ParseError{QStringLiteral("expected key=value, got \"%1\"").arg(t[i])};
        const QString key = t[i].left(eq);
        if (!known.contains(key))
            throw ParseError{QStringLiteral("unknown option \"%1\"").arg(key)};
        out.insert(key, t[i].mid(eq + 1));
    }
    return out;
}

KontrollerDesc parseKontroller(int type, const QStringList& t) {
    if (t.size() < 2)
        throw ParseError{QStringLiteral("device number missing")};
    KontrollerDesc k;
    k.type = type;
    k.number = toInt(t[1], 1, 1023, "device number");
    const auto o =
        options(t, 2,
                type == 6 ? QStringList{"building", "node", "version", "floor", "floorname", "zones"}
                          : QStringList{"building", "node", "version", "circuits", "boilers", "hotwater"});
    k.zdan = toInt(o.value("building"), 1, 255, "building");
    if (o.contains("node"))
        k.uzel = toIdent(o.value("node"));
    k.version = o.contains("version") ? toInt(o.value("version"), 0, 255, "version") : 1;
    if (type == 6) {
        k.etaz = toInt(o.value("floor"), 1, 255, "floor");
        k.etazName = checkedName(o.value("floorname"));
        for (const QString& z : o.value("zones").split(u';', Qt::SkipEmptyParts)) {
            const QStringList f = z.split(u':');
            if (f.size() < 2 || f.size() > 4)
                throw ParseError{QStringLiteral("zone \"%1\": number:name[:set-point[:control]]").arg(z)};
            ZonDesc zd;
            zd.number = toInt(f[0], 0, 255, "zone number");
            zd.name = checkedName(f[1]);
            if (f.size() > 2)
                zd.setpoint = toInt(f[2], 5, 35, "zone set-point");
            if (f.size() > 3)
                zd.controlType = toInt(f[3], 0, 2, "control type");
            k.zony.push_back(zd);
        }
        if (k.zony.empty() || k.zony.size() > 6)
            throw ParseError{QStringLiteral("a KEL-06 has 1-6 zone circuits")};
        return k;
    }
    const int maxKontury = type == 2 ? 2 : 4;
    for (const QString& name : o.value("circuits").split(u';', Qt::SkipEmptyParts))
        k.kontury << checkedName(name);
    if (k.kontury.isEmpty() || k.kontury.size() > maxKontury)
        throw ParseError{
            QStringLiteral("a KEL-%1 has 1-%2 circuits").arg(type, 2, 10, QChar(u'0')).arg(maxKontury)};
    if (type == 2) {
        if (o.contains("boilers") || o.contains("hotwater"))
            throw ParseError{QStringLiteral("a KEL-02 has no boilers and no hot-water circuit")};
        return k;
    }
    k.kotly = o.contains("boilers") ? toInt(o.value("boilers"), 0, type == 4 ? 2 : 3, "boilers") : 1;
    k.gvs = o.contains("hotwater") ? toFlag(o.value("hotwater")) : true;
    return k;
}

FaultPlan parseFault(const QStringList& t) {
    if (t.size() < 4)
        throw ParseError{QStringLiteral("fault <time> <kind> <number>[@<node>] [options]")};
    FaultPlan f;
    f.atSeconds = toSeconds(t[1]);
    static const QHash<QString, FaultKind> kinds{{"pump", FaultKind::Pump},
                                                 {"sensor", FaultKind::Sensor},
                                                 {"mains", FaultKind::MainsLost},
                                                 {"silent", FaultKind::Silent},
                                                 {"conflict", FaultKind::AddressConflict}};
    if (!kinds.contains(t[2]))
        throw ParseError{QStringLiteral("unknown fault \"%1\"").arg(t[2])};
    f.kind = kinds.value(t[2]);
    const int at = t[3].indexOf(u'@');
    f.number = toInt(at < 0 ? t[3] : t[3].left(at), 0, 1023, "device number");
    if (at >= 0)
        f.uzel = toIdent(t[3].mid(at + 1));
    if (f.number == 0 && (f.uzel == 0 || f.kind != FaultKind::MainsLost))
        throw ParseError{QStringLiteral("number 0 stands only for a node's whole site losing mains")};
    const auto o = options(t, 4, {"circuit", "pump", "sensor", "duration"});
    if (o.contains("circuit"))
        f.kontur = toInt(o.value("circuit"), 1, 6, "circuit");
    if (o.contains("pump"))
        f.pump = toInt(o.value("pump"), 1, 2, "pump");
    f.sensor = o.value("sensor", QStringLiteral("kontur"));
    if (o.contains("duration"))
        f.durationSeconds = toSeconds(o.value("duration"));
    return f;
}

void checkReferences(const PlantDesc& p) {
    for (const auto& k : p.kontrollery) {
        if (!p.zdan(k.zdan))
            throw ParseError{
                QStringLiteral("KEL-%1 %2: unknown building %3").arg(k.type).arg(k.number).arg(k.zdan)};
        if (k.uzel != 0 && !p.uzel(k.uzel))
            throw ParseError{QStringLiteral("KEL-%1 %2: unknown node").arg(k.type).arg(k.number)};
    }
    for (const auto& f : p.faults) {
        if (f.number == 0) {
            if (!p.uzel(f.uzel))
                throw ParseError{QStringLiteral("fault for an unknown node")};
            continue;
        }
        bool found = false;
        for (const auto& k : p.kontrollery)
            found = found || (k.number == f.number && k.uzel == f.uzel);
        if (!found)
            throw ParseError{QStringLiteral("fault for unknown device %1").arg(f.number)};
    }
}

} // namespace

PlantParseResult parsePlant(const QString& text) {
    PlantDesc plant;
    const QStringList lines = text.split(u'\n');
    int lineNo = 0;
    try {
        for (const QString& raw : lines) {
            ++lineNo;
            const QString line = raw.trimmed();
            if (line.isEmpty() || line.startsWith(u'#'))
                continue;
            const QStringList t = tokens(line);
            const QString& what = t[0];
            if (what == u"building") {
                if (t.size() != 3)
                    throw ParseError{QStringLiteral("building <number> \"<name>\"")};
                const int n = toInt(t[1], 1, 255, "building number");
                if (plant.zdan(n))
                    throw ParseError{QStringLiteral("building %1 declared twice").arg(n)};
                plant.zdaniya.push_back({n, checkedName(t[2])});
            } else if (what == u"node") {
                if (t.size() != 3)
                    throw ParseError{QStringLiteral("node <ident> \"<name>\"")};
                const UzelIdent id = toIdent(t[1]);
                if (t[2].size() > 20)
                    throw ParseError{QStringLiteral("a node name has at most 20 characters")};
                plant.uzly.push_back({id, t[2]});
            } else if (what == u"kel02" || what == u"kel04" || what == u"kel06" || what == u"kel08") {
                const KontrollerDesc k = parseKontroller(what.right(1).toInt(), t);
                for (const auto& other : plant.kontrollery)
                    if (other.number == k.number && other.uzel == k.uzel)
                        throw ParseError{
                            QStringLiteral("device number %1 used twice on one bus").arg(k.number)};
                plant.kontrollery.push_back(k);
            } else if (what == u"fault") {
                plant.faults.push_back(parseFault(t));
            } else {
                throw ParseError{QStringLiteral("unknown line kind \"%1\"").arg(what)};
            }
        }
        lineNo = 0; // the references are checked over the whole file
        checkReferences(plant);
    } catch (const ParseError& e) {
        return {std::nullopt, lineNo == 0 ? e.text : QStringLiteral("line %1: %2").arg(lineNo).arg(e.text)};
    }
    if (plant.kontrollery.empty())
        return {std::nullopt, QStringLiteral("the plant has no controllers")};
    return {std::move(plant), {}};
}

std::optional<FaultPlan> parseFaultLine(const QString& line, const PlantDesc& plant, QString* error) {
    try {
        FaultPlan f = parseFault(QStringList{QStringLiteral("fault")} + tokens(line));
        for (const auto& k : plant.kontrollery)
            if (f.number == k.number && f.uzel == k.uzel)
                return f;
        if (f.number == 0 && plant.uzel(f.uzel))
            return f;
        throw ParseError{QStringLiteral("fault for unknown device %1").arg(f.number)};
    } catch (const ParseError& e) {
        *error = e.text;
        return std::nullopt;
    }
}

PlantDesc defaultPlant() {
    auto r = parsePlant(defaultPlantText());
    Q_ASSERT(r.plant);
    return std::move(*r.plant);
}

} // namespace kelcon::kelsim
