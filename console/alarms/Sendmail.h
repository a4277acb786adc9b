#pragma once

#include "MailMessage.h"

#include <QDateTime>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

namespace kelcon {

// What the settings store does not hold: the trust store and the time-outs.
struct MailTransportOptions {
    QString caFile;              // empty: the system's certificate store
    int connectTimeoutMs = 10000;
    int totalTimeoutMs = 30000;  // the whole dialogue, connection included
};

// SMTP through libcurl's multi interface, driven from the event loop, so a slow or silent server
// never stalls polling, sockets or windows. Several letters may be under way at once.
class TMailSender final : public QObject {
    Q_OBJECT
public:
    // accepted: the server took the letter; error: libcurl's reason when it did not.
    using Done = std::function<void(bool accepted, const QString& error)>;

    explicit TMailSender(MailTransportOptions options = {}, QObject* parent = nullptr);
    ~TMailSender() override; // letters still under way are abandoned without calling back

    void setOptions(const MailTransportOptions& options) { options_ = options; }
    const MailTransportOptions& options() const { return options_; }

    // Starts one letter and returns true; done follows later from the event loop. Returns false
    // without connecting, and without calling done, when the letter is incomplete (there is nothing
    // to send, which the callers treat as sent).
    bool SendMail(const MailSettings& settings, const QString& body, Done done);

    int lettersUnderWay() const { return static_cast<int>(transfers_.size()); }

private:
    struct Transfer;
    void poll();
    void finish(void* easy, int curlCode);

    MailTransportOptions options_;
    void* multi_ = nullptr;
    QTimer pollTimer_;
    std::vector<std::unique_ptr<Transfer>> transfers_;
};

// The alarm mail: alarm lines collect in the pending text, and each letter carries all of it.
class TAlarmMail final {
public:
    using PostEvent = std::function<void(const QString&)>;

    TAlarmMail(PostEvent postEvent, MailTransportOptions options = {});

    void setSettings(const MailSettings& settings) { settings_ = settings; }
    const MailSettings& settings() const { return settings_; }
    void setTransportOptions(const MailTransportOptions& options) { sender_.setOptions(options); }

    // A recorded alarm line: appended with CR LF, then mailed.
    void AddAlarmLine(const QString& line);

    // Mails the pending text unless a letter is already under way. A delivered (or given up) letter
    // removes from the pending text exactly what it carried; lines that arrived meanwhile stay.
    void SendAlarmMail();

    // At second 0 of every minute: retries a failed letter, after the first failure only every
    // five minutes.
    void MinuteTick(const QDateTime& now);

    // The settings dialog's test letter with the values typed there; pending text and failure
    // count are not touched.
    void SendTestLetter(const MailSettings& typed);

    const QString& pendingText() const { return pending_; }
    int failureCount() const { return failures_; }
    bool sending() const { return sending_; }
    bool busy() const { return sender_.lettersUnderWay() > 0; }

private:
    void letterDone(bool accepted, qsizetype carried);

    PostEvent postEvent_;
    TMailSender sender_;
    MailSettings settings_;
    QString pending_;
    int failures_ = 0;
    bool sending_ = false;
    bool sendAgain_ = false;
};

} // namespace kelcon
