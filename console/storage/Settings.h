#pragma once

#include "storage/Db.h"

#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace kelcon {

inline const QString kUpdateHost = QStringLiteral("update.kelcon.ru");
// Addresses of update servers that no longer exist; a stored one is replaced by kUpdateHost.
inline const QString kRetiredUpdateHost1 = QStringLiteral("203.0.113.17");
inline const QString kRetiredUpdateHost2 = QStringLiteral("198.51.100.40");

constexpr quint16 kDefaultRemotePort = 4462;
constexpr quint16 kDefaultCom1Port = 5000;
constexpr quint16 kDefaultCom2Port = 5001;

// Named settings in PARAM of the settings database. Every access attaches the file and detaches
// (committing) afterwards, so the file is free between accesses. A file that cannot be attached
// throws SettingsUnavailable (declared in Schema.h); other failures throw DbError.
class SettingsStore {
public:
    explicit SettingsStore(QString file) : file_(std::move(file)) {}

    // The value without trailing blanks; a name without a row gets one with an empty value.
    QString read(const QString& name);
    // Changes the row of that name; a name without a row is left without one.
    void write(const QString& name, const QString& value);

    struct RemoteNode {
        QString address;
        QString description;
        QString entry() const { return description + QStringLiteral(" (") + address + QLatin1Char(')'); }
    };
    // The rows of adr_disp ("address#description") in the order the database returns them.
    QList<RemoteNode> remoteNodes();

    QString fileName() const { return file_; }

    // Keeps the file attached for a run of accesses (start-up reads some twenty settings in a
    // row, and each attach of a file costs tens of milliseconds); every access still commits.
    class Batch {
    public:
        explicit Batch(SettingsStore& store);
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        SettingsStore& store_;
        std::unique_ptr<DbConnection> db_;
    };

private:
    template <class F> auto access(F&& f);

    QString file_;
    DbConnection* batch_ = nullptr;
};

// One serial bridge from com1_param/com2_param: the serial port's settings as indexes into the
// serial-port lists and the TCP port of the bridge.
struct TComParam {
    bool on = false;
    int baudIndex = 7;     // 9600
    int dataBitsIndex = 3; // 8 bits
    int stopBitsIndex = 0; // one
    int parityIndex = 0;   // none
    quint16 port = 0;

    bool operator==(const TComParam&) const = default;
};

// The lists of the settings dialog: baud rates 110 to 256000, 5 to 8 data bits, 1, 1.5 or 2 stop
// bits, no, odd or even parity.
constexpr int kMinBaudIndex = 1;
constexpr int kMaxBaudIndex = 15;
constexpr int kMaxDataBitsIndex = 3;
constexpr int kMaxStopBitsIndex = 2;
constexpr int kMaxParityIndex = 2;

// Character 1 is "1" for on; characters 2-5 the four indexes; the rest the TCP port. Baud indexes
// 10-15 are written as one hex digit "A"-"F" so the later fields keep their places. A parameter
// outside the lists, or port 0, gives empty text: nothing unreadable gets stored.
QString formatComParam(const TComParam& p);
// A field that is not of that form, or an index outside its list, takes its default (the port:
// `defaultPort`) and `error`, when given, names the fields that were wrong; it is left empty for a
// good value. Trailing blanks of a stored value do not count.
TComParam parseComParam(const QString& value, quint16 defaultPort, QString* error = nullptr);

// What start-up loads into the main window's state; the caller applies it to the sockets and the
// serial ports (nothing here opens a port).
struct TSettings {
    bool changesOverNetwork = false;         // passw_vkl
    QString networkPassword;                 // passw_upr, only when passw_vkl is "true"
    QString logon;                           // logon_vkl
    QString nodeName;                        // name_serv
    QString updateHost;                      // hostupdate
    quint16 remotePort = kDefaultRemotePort; // portremot: client and server
    bool autoUpdate = true;                  // autoupdate
    int neact02 = 5;                         // minutes, all types but KEL-06
    int neact06 = 60;                        // minutes, KEL-06
    QString ipAlert;                         // ip_alert
    bool forwardAlarms = false;              // ip_alert not empty
    bool remoteControlOnly = false;          // only_remot
    bool timeSync = false;                   // time_sync

    // Empty: the value's first character is not "1" and not blank: leave the port as it is.
    // Otherwise configure the serial port; listen when `on`.
    std::optional<TComParam> com1;
    std::optional<TComParam> com2;

    bool sendMail = false; // send_mail
    QString smtpPort = QStringLiteral("25");
    QString smtpAddr;
    QString fromMail;
    QString toMail;
    QString logMail;
    QString passMail;
    QString subjMail = QStringLiteral("Авария на");
    bool sslMail = false; // ssl_mail
};

// Reads every setting start-up needs, writing back the defaults of empty ones. A malformed port
// is reported through `postEvent` (naming the key) and its default is used.
TSettings loadSettings(SettingsStore& store, const std::function<void(const QString&)>& postEvent);

} // namespace kelcon
