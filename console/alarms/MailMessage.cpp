#include "MailMessage.h"

#include "core/Cp1251.h"

#include <QRegularExpression>

namespace kelcon {

bool mailLetterComplete(const MailSettings& s, const QString& body)
{
    return !body.isEmpty() && !s.smtpPort.isEmpty() && !s.smtpAddr.isEmpty() && !s.fromMail.isEmpty() &&
           !s.toMail.isEmpty() && !s.logMail.isEmpty() && !s.passMail.isEmpty();
}

namespace {

bool needsQuoting(unsigned char c)
{
    // Besides the bytes that are not printable ASCII, the characters that end or confuse an
    // encoded-word ("=", "?", "_") and the header specials are written as "=XX".
    static const QByteArray specials = QByteArrayLiteral("=?_()<>[]:;,@/\\\"");
    return c < 0x20 || c >= 0x7F || specials.contains(static_cast<char>(c));
}

void closeWord(QByteArray& out, QByteArray& word)
{
    if (word.isEmpty())
        return;
    if (!out.isEmpty())
        out += ' ';
    out += "=?UTF-8?Q?" + word + "?=";
    word.clear();
}

} // namespace

QByteArray encodeMailSubject(const QString& subject)
{
    // The subject is stored in Windows-1251, so characters without a 1251 form reach the reader as
    // "?" just as they would from the settings file.
    const QByteArray utf8 = fromCp1251(toCp1251(subject)).toUtf8();
    QByteArray out;
    QByteArray word;
    for (const char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == ' ') {
            word += '_';
            if (word.size() > 32)
                closeWord(out, word);
        } else if (needsQuoting(c)) {
            word += '=' + QByteArray::number(c, 16).toUpper().rightJustified(2, '0');
        } else {
            word += ch;
        }
    }
    closeWord(out, word);
    return out;
}

QByteArray composeMailMessage(const QString& subject, const QString& body)
{
    QByteArray msg;
    msg += "X-Mailer: Kelcon\r\n";
    msg += "Content-type: text/plain; charset=Windows-1251\r\n";
    msg += "Subject: " + encodeMailSubject(subject) + "\r\n";
    msg += "\r\n";
    static const QRegularExpression lineBreak(QStringLiteral("\r\n|\r|\n"));
    QStringList lines = body.split(lineBreak);
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast(); // the alarm text ends with a line break of its own
    for (const QString& line : lines)
        msg += toCp1251(line) + "\r\n";
    return msg;
}

QString mailAddress(const QString& text)
{
    QString s = text;
    const qsizetype open = s.indexOf(QLatin1Char('<'));
    if (open >= 0) {
        s = s.mid(open + 1);
        const qsizetype close = s.indexOf(QLatin1Char('>'));
        if (close >= 0)
            s.truncate(close);
    }
    return s.trimmed();
}

QStringList mailRecipients(const QString& to)
{
    QStringList result;
    QString current;
    bool quoted = false;
    auto flush = [&] {
        const QString address = mailAddress(current);
        if (!address.isEmpty())
            result.append(address);
        current.clear();
    };
    for (const QChar c : to) {
        if (c == QLatin1Char('"'))
            quoted = !quoted;
        if (!quoted && (c == QLatin1Char(';') || c == QLatin1Char(',')))
            flush();
        else
            current += c;
    }
    flush();
    return result;
}

} // namespace kelcon
