#include "alarms/Sendmail.h"
#include "core/Cp1251.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtCore/qtestsupport_core.h>

#include <gtest/gtest.h>

using namespace kelcon;

namespace {

const QString kLine1 = QStringLiteral("09.03.2021 14:05:07 ->KEL-02 адрес № 0017: авария насоса");
const QString kLine2 = QStringLiteral("09.03.2021 14:06:00 ->KEL-06 адрес № 0101: нет связи");

// A self-signed certificate for 127.0.0.1, made once for all tests.
struct TestCertificate {
    QTemporaryDir dir;
    QString cert = dir.filePath(QStringLiteral("cert.pem"));
    QString key = dir.filePath(QStringLiteral("key.pem"));
    TestCertificate()
    {
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start(QStringLiteral("openssl"),
                      {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                       "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                       "subjectAltName=IP:127.0.0.1", "-batch"});
        if (!openssl.waitForFinished() || openssl.exitCode() != 0)
            qFatal("openssl could not make the test certificate");
    }
};

const TestCertificate& certificate()
{
    static TestCertificate c;
    return c;
}

// A port nobody listens on (until a test starts its server there).
quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

class SmtpServer {
public:
    SmtpServer(const QString& mode, const QStringList& refused = {}, quint16 port = 0)
    {
        QStringList args{SMTP_SERVER_SCRIPT, record_, QString::number(port), mode,
                         certificate().cert, certificate().key};
        args += refused;
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(QStringLiteral("/usr/bin/python3"), args);
        if (!process_.waitForStarted() || !process_.waitForReadyRead(15000))
            qFatal("the SMTP test server did not start");
        port_ = static_cast<quint16>(process_.readLine().trimmed().toUInt());
    }
    ~SmtpServer()
    {
        process_.kill();
        process_.waitForFinished();
    }
    quint16 port() const { return port_; }

    QList<QJsonObject> events(const QString& kind) const
    {
        QList<QJsonObject> result;
        QFile f(record_);
        if (!f.open(QIODevice::ReadOnly))
            return result;
        while (!f.atEnd()) {
            const QJsonObject o = QJsonDocument::fromJson(f.readLine()).object();
            if (o.value("ev").toString() == kind)
                result.append(o);
        }
        return result;
    }
    QList<QByteArray> letters() const
    {
        QList<QByteArray> result;
        for (const QJsonObject& o : events("data"))
            result.append(QByteArray::fromBase64(o.value("content").toString().toLatin1()));
        return result;
    }

private:
    QTemporaryDir dir_;
    QString record_ = dir_.filePath(QStringLiteral("record.jsonl"));
    QProcess process_;
    quint16 port_ = 0;
};

MailSettings settingsFor(quint16 port, bool ssl)
{
    MailSettings s;
    s.sendMail = true;
    s.smtpAddr = QStringLiteral("127.0.0.1");
    s.smtpPort = QString::number(port);
    s.sslMail = ssl;
    s.fromMail = QStringLiteral("Котельная <kelcon@plant.test>");
    s.toMail = QStringLiteral("\"Иванов; дежурный\" <duty@plant.test>;chief@plant.test");
    s.logMail = QStringLiteral("kelcon");
    s.passMail = QStringLiteral("секрет-42");
    s.subjMail = QStringLiteral("Авария на котельной № 3 (ул. Садовая, д. 12) = срочно?");
    return s;
}

MailTransportOptions trusting()
{
    MailTransportOptions o;
    o.caFile = certificate().cert;
    o.totalTimeoutMs = 5000;
    return o;
}

struct Recorder {
    QStringList events;
    TAlarmMail::PostEvent post() { return [this](const QString& t) { events.append(t); }; }
};

bool settle(const TAlarmMail& mail)
{
    return QTest::qWaitFor([&] { return !mail.busy(); }, 20000);
}

} // namespace

struct SubjectCase {
    const char* name;
    QString subject;
    QByteArray encoded;
};

TEST(MailMessage, SubjectEncodedWords)
{
    const SubjectCase cases[] = {
        {"empty subject gives an empty header", QString(), QByteArray()},
        {"cyrillic in UTF-8 counts encoded, so the word ends at the blank", QStringLiteral("Авария на"),
         "=?UTF-8?Q?=D0=90=D0=B2=D0=B0=D1=80=D0=B8=D1=8F_?= =?UTF-8?Q?=D0=BD=D0=B0?="},
        {"specials are quoted", QStringLiteral("a=b?c_d"), "=?UTF-8?Q?a=3Db=3Fc=5Fd?="},
        {"a word is closed at the first blank after 32 characters",
         QStringLiteral("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa bbb ccc"),
         "=?UTF-8?Q?aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa_?= =?UTF-8?Q?bbb_ccc?="},
        {"exactly 32 characters with the blank stay in one word",
         QStringLiteral("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa bbb"), "=?UTF-8?Q?aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa_bbb?="},
        {"a trailing blank ends the last word", QStringLiteral("Ж "), "=?UTF-8?Q?=D0=96_?="},
        {"characters without a 1251 form become ?", QStringLiteral("日"), "=?UTF-8?Q?=3F?="},
    };
    for (const auto& c : cases)
        EXPECT_EQ(encodeMailSubject(c.subject), c.encoded) << c.name;
}

TEST(MailMessage, ComposedBytes)
{
    const QByteArray expected = "X-Mailer: Kelcon\r\n"
                                "Content-type: text/plain; charset=Windows-1251\r\n"
                                "Subject: =?UTF-8?Q?=D0=96?=\r\n"
                                "\r\n" +
                                toCp1251(QStringLiteral("строка 1")) + "\r\n" +
                                toCp1251(QStringLiteral("строка 2")) + "\r\n";
    EXPECT_EQ(composeMailMessage(QStringLiteral("Ж"), QStringLiteral("строка 1\r\nстрока 2\r\n")), expected);
    EXPECT_EQ(composeMailMessage(QStringLiteral("Ж"), QStringLiteral("строка 1\nстрока 2")), expected)
        << "bare line feeds become CR LF";
}

TEST(MailMessage, Recipients)
{
    const struct {
        const char* name;
        QString to;
        QStringList expected;
    } cases[] = {
        {"semicolons separate", "a@x.ru;b@y.ru", {"a@x.ru", "b@y.ru"}},
        {"blanks trimmed, commas too", " a@x.ru , b@y.ru ", {"a@x.ru", "b@y.ru"}},
        {"address part of a named recipient", "Иванов <a@x.ru>", {"a@x.ru"}},
        {"separator inside quotes belongs to the name", "\"Петров; смена\" <p@x.ru>;b@y.ru", {"p@x.ru", "b@y.ru"}},
        {"trailing separator adds nobody", "a@x.ru;", {"a@x.ru"}},
        {"separators only", ";;", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(mailRecipients(c.to), c.expected) << c.name;
}

class MailDelivery : public testing::TestWithParam<const char*> {};

// "tls": TLS from the first byte; "starttls": plain connection upgraded by STARTTLS before the login;
// "plain": a server without TLS stays reachable when ssl_mail is off.
TEST_P(MailDelivery, AlarmLettersCarryEveryLine)
{
    const QString mode = QString::fromLatin1(GetParam());
    SmtpServer server(mode);
    Recorder rec;
    TAlarmMail mail(rec.post(), trusting());
    const MailSettings s = settingsFor(server.port(), mode == "tls");
    mail.setSettings(s);

    mail.AddAlarmLine(kLine1);
    mail.AddAlarmLine(kLine2); // arrives while the first letter is under way
    ASSERT_TRUE(settle(mail));

    EXPECT_TRUE(rec.events.isEmpty()) << rec.events.join('\n').toStdString();
    EXPECT_TRUE(mail.pendingText().isEmpty());
    EXPECT_EQ(mail.failureCount(), 0);

    const auto auth = server.events("auth");
    ASSERT_EQ(auth.size(), 2) << "one connection per letter";
    EXPECT_EQ(auth[0].value("login").toString(), s.logMail);
    EXPECT_EQ(auth[0].value("password").toString(), s.passMail);
    EXPECT_EQ(auth[0].value("tls").toBool(), mode != "plain");

    const auto from = server.events("mail");
    ASSERT_EQ(from.size(), 2);
    EXPECT_EQ(from[0].value("address").toString(), "kelcon@plant.test");
    EXPECT_TRUE(from[0].value("options").toVariant().toStringList().join(' ').startsWith("SIZE="));

    const auto data = server.events("data");
    ASSERT_EQ(data.size(), 2);
    EXPECT_EQ(data[0].value("rcpt").toVariant().toStringList(),
              QStringList({"duty@plant.test", "chief@plant.test"}));
    EXPECT_EQ(data[0].value("subject").toString(), s.subjMail);

    const QList<QByteArray> letters = server.letters();
    EXPECT_EQ(letters[0], composeMailMessage(s.subjMail, kLine1 + "\r\n"));
    EXPECT_TRUE(letters[0].endsWith("\r\n\r\n" + toCp1251(kLine1) + "\r\n"));
    EXPECT_EQ(letters[1], composeMailMessage(s.subjMail, kLine2 + "\r\n"))
        << "the second letter carries only the line that the first did not";
}

INSTANTIATE_TEST_SUITE_P(Modes, MailDelivery, testing::Values("tls", "starttls", "plain"));

TEST(AlarmMail, UntrustedCertificateFails)
{
    for (const char* mode : {"tls", "starttls"}) {
        SmtpServer server(QString::fromLatin1(mode));
        Recorder rec;
        MailTransportOptions o;
        o.totalTimeoutMs = 5000; // the system's store, which does not know the test certificate
        TAlarmMail mail(rec.post(), o);
        mail.setSettings(settingsFor(server.port(), QByteArray(mode) == "tls"));
        mail.AddAlarmLine(kLine1);
        ASSERT_TRUE(settle(mail));
        EXPECT_EQ(rec.events, QStringList{"Ошибка отправки письма"}) << mode;
        EXPECT_EQ(mail.pendingText(), kLine1 + "\r\n") << mode;
        EXPECT_TRUE(server.events("auth").isEmpty()) << "no password over an unverified channel: " << mode;
    }
}

TEST(AlarmMail, RefusedRecipientFailsAndTheTickRetries)
{
    SmtpServer server(QStringLiteral("starttls"), {"gone@plant.test"});
    Recorder rec;
    TAlarmMail mail(rec.post(), trusting());
    MailSettings s = settingsFor(server.port(), false);
    s.toMail = QStringLiteral("gone@plant.test;chief@plant.test");
    mail.setSettings(s);

    mail.AddAlarmLine(kLine1);
    ASSERT_TRUE(settle(mail));
    EXPECT_EQ(rec.events, QStringList{"Ошибка отправки письма"});
    EXPECT_EQ(mail.failureCount(), 1);
    const auto rcpt = server.events("rcpt");
    ASSERT_EQ(rcpt.size(), 1) << "the first refusal ends the attempt";
    EXPECT_FALSE(rcpt[0].value("accepted").toBool());
    EXPECT_TRUE(server.events("data").isEmpty());

    const QDateTime at(QDate(2021, 3, 9), QTime(14, 7, 0));
    mail.MinuteTick(at); // after a failure only minutes divisible by 5 retry
    EXPECT_FALSE(mail.busy());
    mail.MinuteTick(at.addSecs(3 * 60));
    ASSERT_TRUE(mail.busy());
    ASSERT_TRUE(settle(mail));
    EXPECT_EQ(mail.failureCount(), 2);

    s.toMail = QStringLiteral("chief@plant.test");
    mail.setSettings(s);
    mail.AddAlarmLine(kLine2);
    ASSERT_TRUE(settle(mail));
    EXPECT_EQ(mail.failureCount(), 0);
    EXPECT_TRUE(mail.pendingText().isEmpty());
    ASSERT_EQ(server.letters().size(), 1);
    EXPECT_EQ(server.letters()[0], composeMailMessage(s.subjMail, kLine1 + "\r\n" + kLine2 + "\r\n"));
}

TEST(AlarmMail, ServerDownThenBackDeliversEverything)
{
    const quint16 port = freePort();
    Recorder rec;
    TAlarmMail mail(rec.post(), trusting());
    mail.setSettings(settingsFor(port, true));

    mail.AddAlarmLine(kLine1);
    ASSERT_TRUE(settle(mail));
    mail.AddAlarmLine(kLine2);
    ASSERT_TRUE(settle(mail));
    EXPECT_EQ(rec.events, QStringList({"Ошибка отправки письма", "Ошибка отправки письма"}));
    EXPECT_EQ(mail.failureCount(), 2);

    SmtpServer server(QStringLiteral("tls"), {}, port);
    mail.MinuteTick(QDateTime(QDate(2021, 3, 9), QTime(14, 10, 0)));
    ASSERT_TRUE(settle(mail));
    EXPECT_EQ(mail.failureCount(), 0);
    EXPECT_TRUE(mail.pendingText().isEmpty());
    ASSERT_EQ(server.letters().size(), 1);
    EXPECT_TRUE(server.letters()[0].endsWith(toCp1251(kLine1 + "\r\n" + kLine2 + "\r\n")));
}

TEST(AlarmMail, TwelfthFailureDropsTheText)
{
    Recorder rec;
    TAlarmMail mail(rec.post(), trusting());
    mail.setSettings(settingsFor(freePort(), true));

    mail.AddAlarmLine(kLine1);
    ASSERT_TRUE(settle(mail));
    for (int minute = 5; mail.failureCount() < 11; minute += 5) {
        mail.MinuteTick(QDateTime(QDate(2021, 3, 9), QTime(15, minute % 60, 0)));
        ASSERT_TRUE(settle(mail));
    }
    EXPECT_EQ(mail.pendingText(), kLine1 + "\r\n") << "kept through eleven failures";

    mail.MinuteTick(QDateTime(QDate(2021, 3, 9), QTime(16, 0, 0)));
    ASSERT_TRUE(settle(mail));
    EXPECT_TRUE(mail.pendingText().isEmpty());
    EXPECT_EQ(mail.failureCount(), 12);

    mail.AddAlarmLine(kLine2); // from now on one attempt per letter
    ASSERT_TRUE(settle(mail));
    EXPECT_TRUE(mail.pendingText().isEmpty());
    EXPECT_EQ(mail.failureCount(), 13);
    EXPECT_EQ(rec.events.size(), 13);
}

TEST(AlarmMail, SilentServerDoesNotStopTheLoop)
{
    QTcpServer silent; // accepts and never says a word
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    QList<QTcpSocket*> held;
    QObject::connect(&silent, &QTcpServer::newConnection, [&] { held.append(silent.nextPendingConnection()); });

    Recorder rec;
    MailTransportOptions o = trusting();
    o.totalTimeoutMs = 1500;
    TAlarmMail mail(rec.post(), o);
    mail.setSettings(settingsFor(silent.serverPort(), false));

    int ticks = 0;
    QTimer tick;
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
    tick.start();

    mail.AddAlarmLine(kLine1);
    EXPECT_TRUE(mail.busy());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !held.isEmpty(); }, 5000)) << "the connection was made";
    const int ticksWhileConnected = ticks;
    mail.AddAlarmLine(kLine2);
    ASSERT_TRUE(settle(mail));
    EXPECT_GT(ticks - ticksWhileConnected, 10) << "the timer kept firing during the dialogue";
    EXPECT_EQ(rec.events, QStringList({"Ошибка отправки письма", "Ошибка отправки письма"}))
        << "the line that came during the first attempt got an attempt of its own";
    EXPECT_EQ(mail.pendingText(), kLine1 + "\r\n" + kLine2 + "\r\n");
}

TEST(AlarmMail, NothingToSend)
{
    Recorder rec;
    TAlarmMail mail(rec.post(), trusting());
    MailSettings s = settingsFor(freePort(), true);

    s.sendMail = false;
    mail.setSettings(s);
    mail.AddAlarmLine(kLine1);
    EXPECT_TRUE(mail.pendingText().isEmpty()) << "mail off empties the text at once";

    s.sendMail = true;
    s.passMail.clear();
    mail.setSettings(s);
    mail.AddAlarmLine(kLine1);
    EXPECT_TRUE(mail.pendingText().isEmpty()) << "incomplete settings are not an error";
    EXPECT_FALSE(mail.busy());

    mail.SendTestLetter(s);
    EXPECT_EQ(rec.events, QStringList{"Тестовое письмо отправлено"}) << "reported without connecting";
}

TEST(AlarmMail, TestLetter)
{
    SmtpServer server(QStringLiteral("tls"));
    Recorder rec;
    TAlarmMail mail(rec.post(), trusting());
    MailSettings stored = settingsFor(freePort(), true);
    mail.setSettings(stored);
    mail.AddAlarmLine(kLine1);
    ASSERT_TRUE(settle(mail));
    rec.events.clear();

    MailSettings typed = settingsFor(server.port(), true);
    typed.subjMail.clear();
    mail.SendTestLetter(typed);
    ASSERT_TRUE(settle(mail));
    EXPECT_EQ(rec.events, QStringList{"Тестовое письмо отправлено"});
    ASSERT_EQ(server.letters().size(), 1);
    EXPECT_EQ(server.letters()[0], composeMailMessage(QString(), QStringLiteral("Тестовое письмо")));

    typed.smtpPort = QString::number(freePort());
    mail.SendTestLetter(typed);
    ASSERT_TRUE(settle(mail));
    EXPECT_EQ(rec.events.last(), "Ошибка отправки тестового письма");
    EXPECT_EQ(mail.failureCount(), 1) << "the test letter leaves the alarm mail's state alone";
    EXPECT_EQ(mail.pendingText(), kLine1 + "\r\n");
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
