#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace kelcon {

// The mail settings of the settings store, as the core hands them over.
struct MailSettings {
    bool sendMail = false; // send_mail
    QString smtpAddr;      // smtp_addr
    QString smtpPort = QStringLiteral("25");
    bool sslMail = false; // ssl_mail: TLS from the first byte; otherwise STARTTLS when the server offers it
    QString fromMail;
    QString toMail; // recipients separated by ";"
    QString logMail;
    QString passMail;
    QString subjMail = QStringLiteral("Авария на");
};

// A letter with any of these empty is not an error: there is simply nothing to send.
bool mailLetterComplete(const MailSettings& settings, const QString& body);

// The subject as RFC 2047 encoded-words (UTF-8, Q encoding). Words are cut after a blank once they are
// longer than 32 characters, so a long subject stays readable in clients that do not unfold headers.
QByteArray encodeMailSubject(const QString& subject);

// Header lines, an empty line and the body in Windows-1251, every line ending with CR LF.
QByteArray composeMailMessage(const QString& subject, const QString& body);

// "Name <a@b>" -> "a@b"; a bare address is only trimmed.
QString mailAddress(const QString& text);

// One address per recipient of the ";"- or ","-separated list; a separator inside double quotes
// belongs to the display name. Empty entries (a trailing ";") are skipped.
QStringList mailRecipients(const QString& to);

} // namespace kelcon
