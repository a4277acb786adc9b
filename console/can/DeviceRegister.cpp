#include "can/DeviceRegister.h"

#include "core/Cp1251.h"
#include "storage/Db.h"

#include <array>
#include <cstring>

namespace kelcon {

namespace {

constexpr std::uint32_t kBuildingNameMask = 0x8000FF0Eu; // both halves of the building name
constexpr std::uint32_t kZoneNameMask = 0x8000F80Eu;     // both halves of a circuit or zone name

bool isBuildingName(std::uint32_t w) { return (w & kBuildingNameMask) == 0x0000DF04u; }
bool isFloorName(std::uint32_t w) { return (w & kBuildingNameMask) == 0x0000DE04u; }
bool isZoneName(std::uint32_t w) { return (w & kZoneNameMask) == 0x0000D004u; }

// A name as the controllers build it: ten bytes filled in two halves; a 0 ends the text.
struct NameBytes {
    std::array<char, 10> b{};

    static NameBytes fromText(const QString& text)
    {
        NameBytes n;
        const QByteArray bytes = toCp1251(text);
        std::memcpy(n.b.data(), bytes.constData(), std::min<std::size_t>(std::size_t(bytes.size()), n.b.size()));
        return n;
    }
    QString text() const
    {
        const auto end = std::find(b.begin(), b.end(), '\0');
        return fromCp1251(b.data(), end - b.begin());
    }
};

struct Place {
    NameBytes zdan, etaz, zon;
    int nomZdan = 0, nomEtaz = 0, nomZon = 0, nomKont = 0;
};

void applyNameHalf(const TCanFrame& f, Place& p, NameBytes& name)
{
    const std::uint32_t half = f.ident & 0xF00Fu;
    if (half == 0xD004u) {
        p.nomZdan = f.data[0];
        p.nomEtaz = f.data[1];
        p.nomZon = f.data[2];
        std::memcpy(name.b.data(), &f.data[3], 5);
    } else if (half == 0xD005u) {
        // A second half before any first half must not leave the name cut at a 0.
        for (int i = 0; i < 7; ++i) {
            if (name.b[std::size_t(i)] == '\0')
                name.b[std::size_t(i)] = ' ';
        }
        std::memcpy(name.b.data() + 5, &f.data[3], 5);
    }
}

QString nomKontFilter() { return QStringLiteral(" and NomKont=:NomerKont"); }

} // namespace

std::vector<RegisterItem> registerItems(const TCanFrame& f)
{
    const std::uint32_t w = f.ident;
    const int len = f.dataLength();
    const int type = deviceType(w);
    const std::uint32_t cls = w & 0x8000FF0Fu;
    std::vector<RegisterItem> items;

    if (isBuildingName(w) && len > 3) {
        items.push_back({1, 0});
    } else if (isZoneName(w) && type == 6 && len > 3) {
        items.push_back({10, 0});
    } else if (isFloorName(w) && type == 6 && len > 3) {
        items.push_back({9, 0});
    } else if (cls == 0 && type == 6 && len > 1) {
        items.push_back({11, f.data[1]});
    } else if (cls == 0x8000FF09u && type == 6 && len > 1) {
        // Zone temperatures: parameter 0 of zone circuits 0-5.
        for (int i = 0; i < 4 && 2 * i < len; ++i) {
            const int code = f.data[std::size_t(2 * i)];
            if ((code & 0x1F) == 0 && (code >> 5) <= 5)
                items.push_back({12 + (code >> 5), f.data[std::size_t(2 * i + 1)]});
        }
    } else if (cls == 1 && len == 0) {
        for (int kind = 2; kind <= 8; ++kind)
            items.push_back({kind, 0});
    } else if ((cls == 0 && len > 1) || cls == 0x8000FF0Bu) {
        for (int i = 0; i < 4 && 2 * i < len; ++i) {
            const int code = f.data[std::size_t(2 * i)];
            if (code <= 6)
                items.push_back({2 + code, f.data[std::size_t(2 * i + 1)]});
        }
    }
    if (items.size() > 7)
        items.resize(7);
    return items;
}

void DeviceRegister::update(const TCanFrame& frame, UzelIdent node)
{
    const std::vector<RegisterItem> items = registerItems(frame);
    if (items.empty()) {
        applyItem(frame, node, RegisterItem{});
        return;
    }
    for (const RegisterItem& item : items)
        applyItem(frame, node, item);
}

void DeviceRegister::applyItem(const TCanFrame& f, UzelIdent node, const RegisterItem& item)
{
    const std::uint32_t w = f.ident;
    const int number = deviceNumber(w);
    const int type = deviceType(w);
    const bool zoneItem = item.kind == 10;
    const bool tempItem = item.kind >= 12 && item.kind <= 17;
    const bool alarmItem = (item.kind >= 2 && item.kind <= 8) || item.kind == 11;
    const int nomKont = zoneItem ? int((w >> 8) & 7) : tempItem ? item.kind - 12 : 0;

    DbParams key{{QStringLiteral("NomerUstr"), number},
                 {QStringLiteral("TypeUstr"), type},
                 {QStringLiteral("Uzel_ID"), node}};
    // Only the columns the update carries over: this runs for every frame, and fetching the whole
    // row (a time stamp and four texts more to decode) costs a quarter of the dispatch.
    QString select = QStringLiteral("select NameZdan, NomZdan, NameEtaz, NomEtaz, NameZon, NomZon, NomKont "
                                    "from SPISKEL where PriborNo=:NomerUstr "
                                    "and TypeNo=:TypeUstr and UzelIdent=:Uzel_ID");
    if (zoneItem || tempItem) {
        select += nomKontFilter();
        key.set(QStringLiteral("NomerKont"), nomKont);
    }

    Place p;
    p.nomKont = nomKont;
    bool found = false;
    db_.forEach(select, key, [&](const DbRow& row) {
        p.zdan = NameBytes::fromText(row.toString(QStringLiteral("NAMEZDAN")));
        p.nomZdan = row.toInt(QStringLiteral("NOMZDAN"));
        p.etaz = NameBytes::fromText(row.toString(QStringLiteral("NAMEETAZ")));
        p.nomEtaz = row.toInt(QStringLiteral("NOMETAZ"));
        p.zon = NameBytes::fromText(row.toString(QStringLiteral("NAMEZON")));
        p.nomZon = row.toInt(QStringLiteral("NOMZON"));
        p.nomKont = row.toInt(QStringLiteral("NOMKONT"));
        found = true;
        return false;
    });

    if (isBuildingName(w))
        applyNameHalf(f, p, p.zdan);
    else if (isFloorName(w))
        applyNameHalf(f, p, p.etaz);
    else if (isZoneName(w))
        applyNameHalf(f, p, p.zon);

    DbParams params = key;
    params.set(QStringLiteral("NamZd"), p.zdan.text());
    params.set(QStringLiteral("NomerZd"), p.nomZdan);
    params.set(QStringLiteral("NamEt"), p.etaz.text());
    params.set(QStringLiteral("NomerEt"), p.nomEtaz);
    params.set(QStringLiteral("NamUzel"), nodeName_ ? nodeName_(node) : QString());
    params.set(QStringLiteral("DateTime"), clock_.now());

    if (!found) {
        params.set(QStringLiteral("NomerKont"), p.nomKont);
        params.set(QStringLiteral("NomerZon"), p.nomZon);
        params.set(QStringLiteral("NamZon"), p.zon.text());
        params.set(QStringLiteral("TekTempZ"), tempItem ? int(item.value) : kNoValue);
        // Alarm words the item does not carry stay NULL, as they always have; readers take NULL as 0.
        for (int i = 1; i <= 7; ++i)
            params.set(QStringLiteral("Avar%1").arg(i), DbValue());
        if (item.kind >= 2 && item.kind <= 8)
            params.set(QStringLiteral("Avar%1").arg(item.kind - 1), int(item.value));
        else if (item.kind == 11)
            params.set(QStringLiteral("Avar1"), int(item.value));
        db_.execute(QStringLiteral("insert into SPISKEL (UzelIdent, NameUzel, PriborNo, TypeNo, NomZdan, NameZdan, "
                                   "NomEtaz, NameEtaz, NomZon, NomKont, NameZon, LastDate, TempZon, SpisAvar1, "
                                   "SpisAvar2, SpisAvar3, SpisAvar4, SpisAvar5, SpisAvar6, SpisAvar7) "
                                   "values (:Uzel_ID, :NamUzel, :NomerUstr, :TypeUstr, :NomerZd, :NamZd, :NomerEt, "
                                   ":NamEt, :NomerZon, :NomerKont, :NamZon, :DateTime, :TekTempZ, :Avar1, :Avar2, "
                                   ":Avar3, :Avar4, :Avar5, :Avar6, :Avar7)"),
                    params);
    } else {
        QString sql = QStringLiteral("update SPISKEL set NameZdan=:NamZd, NomZdan=:NomerZd, LastDate=:DateTime, "
                                     "NomEtaz=:NomerEt, NameEtaz=:NamEt, NameUzel=:NamUzel");
        if (alarmItem) {
            sql += QStringLiteral(", SpisAvar%1=:Avar").arg(item.kind == 11 ? 1 : item.kind - 1);
            params.set(QStringLiteral("Avar"), int(item.value));
        } else if (zoneItem) {
            sql += QStringLiteral(", NameZon=:NamZon, NomZon=:NomerZon");
            params.set(QStringLiteral("NamZon"), p.zon.text());
            params.set(QStringLiteral("NomerZon"), p.nomZon);
        } else if (tempItem) {
            sql += QStringLiteral(", TempZon=:TekTempZ");
            params.set(QStringLiteral("TekTempZ"), int(item.value));
        }
        sql += QStringLiteral(" where UzelIdent=:Uzel_ID and PriborNo=:NomerUstr and TypeNo=:TypeUstr");
        if (zoneItem || tempItem)
            sql += nomKontFilter();
        db_.execute(sql, params);
    }

    // Names shared by several rows follow the controller that reports them.
    if (item.kind == 1) {
        db_.execute(QStringLiteral("update SPISKEL set NameZdan=:NamZd where UzelIdent=:Uzel_ID and NomZdan=:NomerZd"),
                    {{QStringLiteral("NamZd"), p.zdan.text()},
                     {QStringLiteral("Uzel_ID"), node},
                     {QStringLiteral("NomerZd"), p.nomZdan}});
    } else if (item.kind == 9) {
        db_.execute(QStringLiteral("update SPISKEL set NameEtaz=:NamEt where TypeNo=6 and UzelIdent=:Uzel_ID "
                                   "and NomZdan=:NomerZd and NomEtaz=:NomerEt"),
                    {{QStringLiteral("NamEt"), p.etaz.text()},
                     {QStringLiteral("Uzel_ID"), node},
                     {QStringLiteral("NomerZd"), p.nomZdan},
                     {QStringLiteral("NomerEt"), p.nomEtaz}});
    } else if (item.kind == 10 && p.nomZon != 0) {
        db_.execute(QStringLiteral("update SPISKEL set NameZon=:NamZon where TypeNo=6 and UzelIdent=:Uzel_ID "
                                   "and NomZdan=:NomerZd and NomEtaz=:NomerEt and NomZon=:NomerZon"),
                    {{QStringLiteral("NamZon"), p.zon.text()},
                     {QStringLiteral("Uzel_ID"), node},
                     {QStringLiteral("NomerZd"), p.nomZdan},
                     {QStringLiteral("NomerEt"), p.nomEtaz},
                     {QStringLiteral("NomerZon"), p.nomZon}});
    }
}

} // namespace kelcon
