#include "core/EventLog.h"

#include "core/Views.h"
#include "storage/Db.h"

#include <QDir>
#include <QFile>

namespace kelcon {

QString logLine(const QDateTime& time, const QString& text)
{
    return logTimeText(time) + QStringLiteral(" ->") + text;
}

QString EventLog::eventFile() const
{
    return QDir(folder_).filePath(QStringLiteral("Kelcon.log"));
}

QString EventLog::errorFile() const
{
    return QDir(folder_).filePath(QStringLiteral("KelError.log"));
}

void EventLog::appendToFile(const QString& path, const QString& line)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Append))
        return; // an unwritable log must not cost the operator the event
    f.write(line.toUtf8());
    f.write("\n");
}

void EventLog::PostEventAt(const QString& text, const QDateTime& time)
{
    const QString line = logLine(time, text);
    if (view_)
        view_->appendEventLine(line);
    appendToFile(eventFile(), line);
}

void EventLog::RecordAlarm(const QString& text, const QDateTime& time, UzelIdent node)
{
    PostEventAt(text, time);
    const QString line = logLine(time, text);
    if (db_) {
        db_->execute(QStringLiteral("insert into SPISAVAR (DateInf,UzelIdent,TextAvar) values (:DateTime,") +
                         QString::number(node) + QStringLiteral(",:TAvar)"),
                     {{QStringLiteral("DateTime"), time}, {QStringLiteral("TAvar"), text.left(50)}});
    }
    if (popup_)
        popup_->addAlarmLine(line);
    if (mailHook_)
        mailHook_(line);
    appendToFile(errorFile(), line);
}

} // namespace kelcon
