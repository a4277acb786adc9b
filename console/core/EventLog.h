#pragma once

#include "can/CanFrame.h"
#include "core/DateTime.h"

#include <QDateTime>
#include <QString>

#include <functional>

namespace kelcon {

class AlarmPopup;
class DbConnection;
class MainView;

// "dd.mm.yyyy hh:nn:ss ->text"
QString logLine(const QDateTime& time, const QString& text);

// Event messages and alarm records. Events go to the main list and "Kelcon.log"; alarms also to
// SPISAVAR, the pop-up alarm list, the pending alarm mail and "KelError.log". The files are UTF-8,
// opened and closed for every line so other programs can read or move them in between.
class EventLog {
public:
    EventLog(QString folder, const Clock& clock) : folder_(std::move(folder)), clock_(clock) {}

    void setMainView(MainView* view) { view_ = view; }
    void setAlarmPopup(AlarmPopup* popup) { popup_ = popup; }
    void setDatabase(DbConnection* db) { db_ = db; }
    // Every alarm line goes to the mailer, which keeps it until it has been mailed.
    void setMailHook(std::function<void(const QString& line)> hook) { mailHook_ = std::move(hook); }

    void PostEvent(const QString& text) { PostEventAt(text, clock_.now()); }
    void PostEventAt(const QString& text, const QDateTime& time);
    // A database failure storing the alarm is thrown to the caller; the steps after it are skipped.
    void RecordAlarm(const QString& text, const QDateTime& time, UzelIdent node);

    QString eventFile() const;
    QString errorFile() const;

private:
    void appendToFile(const QString& path, const QString& line);

    QString folder_;
    const Clock& clock_;
    MainView* view_ = nullptr;
    AlarmPopup* popup_ = nullptr;
    DbConnection* db_ = nullptr;
    std::function<void(const QString&)> mailHook_;
};

} // namespace kelcon
