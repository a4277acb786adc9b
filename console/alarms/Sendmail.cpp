#include "Sendmail.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>

namespace kelcon {

namespace {

constexpr int kPollIntervalMs = 20;

void initCurlOnce()
{
    static const bool done = [] { return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }();
    (void)done;
}

QByteArray smtpUrl(const MailSettings& s)
{
    QString host = s.smtpAddr.trimmed();
    if (host.contains(QLatin1Char(':')) && !host.startsWith(QLatin1Char('[')))
        host = QLatin1Char('[') + host + QLatin1Char(']');
    const QString scheme = s.sslMail ? QStringLiteral("smtps://") : QStringLiteral("smtp://");
    return (scheme + host + QLatin1Char(':') + s.smtpPort.trimmed()).toUtf8();
}

} // namespace

struct TMailSender::Transfer {
    CURL* easy = nullptr;
    curl_slist* recipients = nullptr;
    QByteArray url, from, login, password, caFile;
    QByteArray message;
    qsizetype sent = 0;
    char error[CURL_ERROR_SIZE] = {};
    Done done;

    ~Transfer()
    {
        curl_slist_free_all(recipients);
        if (easy)
            curl_easy_cleanup(easy);
    }

    static size_t read(char* buffer, size_t size, size_t count, void* self)
    {
        auto* t = static_cast<Transfer*>(self);
        const size_t n = std::min(size * count, static_cast<size_t>(t->message.size() - t->sent));
        std::memcpy(buffer, t->message.constData() + t->sent, n);
        t->sent += static_cast<qsizetype>(n);
        return n;
    }
};

TMailSender::TMailSender(MailTransportOptions options, QObject* parent)
    : QObject(parent), options_(std::move(options))
{
    initCurlOnce();
    multi_ = curl_multi_init();
    pollTimer_.setInterval(kPollIntervalMs);
    connect(&pollTimer_, &QTimer::timeout, this, &TMailSender::poll);
}

TMailSender::~TMailSender()
{
    for (const auto& t : transfers_)
        curl_multi_remove_handle(static_cast<CURLM*>(multi_), t->easy);
    transfers_.clear();
    curl_multi_cleanup(static_cast<CURLM*>(multi_));
}

bool TMailSender::SendMail(const MailSettings& s, const QString& body, Done done)
{
    if (!mailLetterComplete(s, body))
        return false;

    auto t = std::make_unique<Transfer>();
    t->done = std::move(done);
    t->url = smtpUrl(s);
    t->from = '<' + mailAddress(s.fromMail).toUtf8() + '>';
    t->login = s.logMail.toUtf8();
    t->password = s.passMail.toUtf8();
    t->caFile = options_.caFile.toLocal8Bit();
    t->message = composeMailMessage(s.subjMail, body);
    for (const QString& rcpt : mailRecipients(s.toMail))
        t->recipients = curl_slist_append(t->recipients, ('<' + rcpt.toUtf8() + '>').constData());

    CURL* e = t->easy = curl_easy_init();
    curl_easy_setopt(e, CURLOPT_URL, t->url.constData());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(e, CURLOPT_USE_SSL, s.sslMail ? CURLUSESSL_ALL : CURLUSESSL_TRY);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!t->caFile.isEmpty())
        curl_easy_setopt(e, CURLOPT_CAINFO, t->caFile.constData());
    curl_easy_setopt(e, CURLOPT_USERNAME, t->login.constData());
    curl_easy_setopt(e, CURLOPT_PASSWORD, t->password.constData());
    curl_easy_setopt(e, CURLOPT_MAIL_FROM, t->from.constData());
    curl_easy_setopt(e, CURLOPT_MAIL_RCPT, t->recipients);
    curl_easy_setopt(e, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(e, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(t->message.size()));
    curl_easy_setopt(e, CURLOPT_READFUNCTION, &Transfer::read);
    curl_easy_setopt(e, CURLOPT_READDATA, t.get());
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options_.connectTimeoutMs));
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(options_.totalTimeoutMs));
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    // One connection per letter, ended with QUIT: a connection left idle in the cache may have been
    // dropped by the server by the time the next alarm comes.
    curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t->error);

    if (!t->recipients) {
        // A list of separators only: the server would refuse the letter anyway.
        Transfer* raw = t.get();
        std::strncpy(raw->error, "no recipient address", CURL_ERROR_SIZE - 1);
        transfers_.push_back(std::move(t));
        QTimer::singleShot(0, this, [this, raw] { finish(raw->easy, CURLE_BAD_FUNCTION_ARGUMENT); });
        return true;
    }

    curl_multi_add_handle(static_cast<CURLM*>(multi_), e);
    transfers_.push_back(std::move(t));
    if (!pollTimer_.isActive())
        pollTimer_.start();
    QTimer::singleShot(0, this, &TMailSender::poll);
    return true;
}

void TMailSender::poll()
{
    auto* multi = static_cast<CURLM*>(multi_);
    int running = 0;
    curl_multi_perform(multi, &running);
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
        if (msg->msg == CURLMSG_DONE)
            finish(msg->easy_handle, msg->data.result);
    }
    if (transfers_.empty())
        pollTimer_.stop();
}

void TMailSender::finish(void* easy, int curlCode)
{
    auto it = std::find_if(transfers_.begin(), transfers_.end(),
                           [easy](const auto& t) { return t->easy == easy; });
    if (it == transfers_.end())
        return;
    std::unique_ptr<Transfer> t = std::move(*it);
    transfers_.erase(it);
    curl_multi_remove_handle(static_cast<CURLM*>(multi_), t->easy);
    const bool accepted = curlCode == CURLE_OK;
    QString error;
    if (!accepted)
        error = t->error[0] ? QString::fromUtf8(t->error)
                            : QString::fromUtf8(curl_easy_strerror(static_cast<CURLcode>(curlCode)));
    Done done = std::move(t->done);
    t.reset();
    if (done)
        done(accepted, error);
}

TAlarmMail::TAlarmMail(PostEvent postEvent, MailTransportOptions options)
    : postEvent_(std::move(postEvent)), sender_(std::move(options))
{
}

void TAlarmMail::AddAlarmLine(const QString& line)
{
    pending_ += line + QStringLiteral("\r\n");
    SendAlarmMail();
}

void TAlarmMail::SendAlarmMail()
{
    if (sending_) {
        // The letter under way was composed before this line; one more follows it.
        sendAgain_ = true;
        return;
    }
    sendAgain_ = false;
    if (pending_.isEmpty())
        return;
    if (!settings_.sendMail || !mailLetterComplete(settings_, pending_)) {
        pending_.clear();
        return;
    }
    const qsizetype carried = pending_.size();
    sending_ = sender_.SendMail(settings_, pending_, [this, carried](bool accepted, const QString&) {
        letterDone(accepted, carried);
    });
}

void TAlarmMail::letterDone(bool accepted, qsizetype carried)
{
    sending_ = false;
    if (accepted) {
        failures_ = 0;
        pending_.remove(0, carried);
    } else {
        if (postEvent_)
            postEvent_(QStringLiteral("Ошибка отправки письма"));
        // After eleven failures in a row every letter gets one attempt only; the count stays up
        // until a letter goes through.
        if (failures_ > 10)
            pending_.remove(0, carried);
        ++failures_;
    }
    if (sendAgain_)
        SendAlarmMail();
}

void TAlarmMail::MinuteTick(const QDateTime& now)
{
    if (sending_ || pending_.isEmpty())
        return;
    if (failures_ == 0 || now.time().minute() % 5 == 0)
        SendAlarmMail();
}

void TAlarmMail::SendTestLetter(const MailSettings& typed)
{
    const PostEvent post = postEvent_;
    auto report = [post](bool accepted, const QString&) {
        if (post)
            post(accepted ? QStringLiteral("Тестовое письмо отправлено")
                          : QStringLiteral("Ошибка отправки тестового письма"));
    };
    if (!sender_.SendMail(typed, QStringLiteral("Тестовое письмо"), report))
        report(true, {});
}

} // namespace kelcon
