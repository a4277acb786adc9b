#include "UpdateClient.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QTcpSocket>

namespace kelcon {

namespace {

const QString kArchive = QStringLiteral("update.zip");

} // namespace

void ProcessUpdateLauncher::runUnzip(const QString& folder, std::function<void(bool)> done)
{
    auto* unzip = new QProcess;
    unzip->setWorkingDirectory(folder);
    unzip->setStandardOutputFile(QProcess::nullDevice());
    QObject::connect(unzip, &QProcess::finished, unzip, [unzip, done] {
        unzip->deleteLater();
        done(true);
    });
    QObject::connect(unzip, &QProcess::errorOccurred, unzip, [unzip, done](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        unzip->deleteLater();
        done(false);
    });
    unzip->start(QStringLiteral("unzip"), {QStringLiteral("-o"), kArchive});
}

bool ProcessUpdateLauncher::startInstaller(const QString& folder)
{
    return QProcess::startDetached(QDir(folder).absoluteFilePath(QStringLiteral("kelswap")), {}, folder);
}

TUpdateClient::TUpdateClient(UpdateSettings settings, UpdateLauncher& launcher, Hooks hooks, QObject* parent)
    : QObject(parent), settings_(std::move(settings)), launcher_(launcher), hooks_(std::move(hooks))
{
    idleTimer_.setSingleShot(true);
    connect(&idleTimer_, &QTimer::timeout, this, &TUpdateClient::onIdleTimeout);
}

TUpdateClient::~TUpdateClient() = default;

void TUpdateClient::SetUpdatePending()
{
    pending_ = true;
    attempts_ = 0;
}

void TUpdateClient::MinuteTick(bool listWindowOpen)
{
    // A download can outlast a minute; a second attempt beside it would write the same file.
    if (!pending_ || attempts_ >= kMaxUpdateAttempts || listWindowOpen || attemptUnderWay())
        return;
    post(QStringLiteral("Проверяем обновления..."));
    ++attempts_;
    CheckForUpdate();
}

void TUpdateClient::HourTick(const QDateTime& now)
{
    const QTime t = now.time();
    if (settings_.autoUpdate && now.date().dayOfWeek() == Qt::Monday && t.hour() == 10 && t.minute() == 0)
        SetUpdatePending();
}

QString TUpdateClient::folder() const
{
    return settings_.folder.isEmpty() ? QDir::currentPath() : settings_.folder;
}

void TUpdateClient::post(const QString& text)
{
    if (hooks_.postEvent)
        hooks_.postEvent(text);
}

void TUpdateClient::CheckForUpdate()
{
    if (attemptUnderWay())
        return;
    auto* socket = new QTcpSocket(this);
    socket_ = socket;
    stage_ = Stage::Connecting;
    buffer_.clear();
    size_ = 0;
    connect(socket, &QTcpSocket::connected, this, [this, socket] {
        if (socket == socket_)
            onConnected();
    });
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
        if (socket == socket_)
            onReadyRead();
    });
    // A server that closes right after the last bytes: what arrived is used before the loss counts.
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] {
        if (socket == socket_)
            onDisconnected();
    });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        if (socket == socket_)
            onDisconnected();
    });
    idleTimer_.start(settings_.idleTimeoutMs);
    socket->connectToHost(settings_.host.trimmed(), settings_.port);
}

void TUpdateClient::onConnected()
{
    post(QStringLiteral("Обновление: соединились"));
    stage_ = Stage::Offer;
    idleTimer_.start(settings_.idleTimeoutMs);
}

void TUpdateClient::onReadyRead()
{
    buffer_ += socket_->readAll();
    idleTimer_.start(settings_.idleTimeoutMs);
    switch (stage_) {
    case Stage::Connecting:
        break;
    case Stage::Offer:
        processOffer();
        break;
    case Stage::FileLine:
        processFileLine();
        break;
    case Stage::Receiving:
        processData();
        break;
    }
}

void TUpdateClient::onDisconnected()
{
    if (socket_->bytesAvailable() > 0)
        onReadyRead();
    if (attemptUnderWay())
        fail();
}

void TUpdateClient::onIdleTimeout()
{
    if (attemptUnderWay())
        fail();
}

void TUpdateClient::processOffer()
{
    const std::optional<UpdateLine> line = takeUpdateLine(buffer_);
    if (!line) {
        if (buffer_.size() > kMaxUpdateLineLength)
            endAttempt(false);
        return;
    }
    if (line->text != QLatin1String("isfile")) {
        endAttempt(false);
        return;
    }
    const std::optional<quint32> size = takeUpdateSize(buffer_, line->consumed);
    if (!size)
        return;
    size_ = *size;
    buffer_.remove(0, line->consumed + 4);

    // The size is the archive's only version mark.
    const QFileInfo local(QDir(folder()).filePath(kArchive));
    if (local.exists() && local.size() == size_) {
        post(QStringLiteral("Обновлений нет, отключаемся..."));
        pending_ = false;
        endAttempt(true);
        return;
    }
    if (size_ == 0) {
        fail();
        return;
    }
    socket_->write(updateClientLine(QStringLiteral("start")));
    stage_ = Stage::FileLine;
    processFileLine();
}

void TUpdateClient::processFileLine()
{
    const std::optional<UpdateLine> line = takeUpdateLine(buffer_);
    if (!line) {
        if (buffer_.size() > kMaxUpdateLineLength)
            endAttempt(false);
        return;
    }
    if (line->text != QLatin1String("file")) {
        endAttempt(false);
        return;
    }
    buffer_.remove(0, line->consumed);
    stage_ = Stage::Receiving;
    processData();
}

void TUpdateClient::processData()
{
    if (buffer_.isEmpty())
        return;
    const quint64 received = std::min<quint64>(static_cast<quint64>(buffer_.size()), size_);
    progressShown_ = true;
    if (hooks_.progress)
        hooks_.progress(static_cast<int>(received * 100 / size_), true);
    if (received < size_)
        return;

    // Bytes past the announced size are not part of the archive; written along they would make
    // its size differ from the server's and the same archive would be fetched again next week.
    // The old archive is replaced only once the new one is completely on disk.
    QSaveFile file(QDir(folder()).filePath(kArchive));
    if (!file.open(QIODevice::WriteOnly) || file.write(buffer_.constData(), size_) != static_cast<qint64>(size_) || !file.commit()) {
        fail();
        return;
    }
    buffer_.clear();
    post(QStringLiteral("Обновление: файл принят! Отключаемся..."));
    pending_ = false;
    progressShown_ = false;
    if (hooks_.progress)
        hooks_.progress(0, false);
    endAttempt(true);

    const QPointer<TUpdateClient> self(this);
    launcher_.runUnzip(folder(), [self](bool started) {
        if (!self || !started)
            return;
        if (self->launcher_.startInstaller(self->folder()) && self->hooks_.quitProgram)
            self->hooks_.quitProgram();
    });
}

void TUpdateClient::fail()
{
    post(QStringLiteral("Обновление: ошибка приема файла!"));
    if (progressShown_ && hooks_.progress)
        hooks_.progress(0, false);
    progressShown_ = false;
    QTcpSocket* socket = socket_;
    socket_ = nullptr;
    idleTimer_.stop();
    socket->abort();
    socket->deleteLater();
}

void TUpdateClient::endAttempt(bool sayEnd)
{
    QTcpSocket* socket = socket_;
    socket_ = nullptr;
    idleTimer_.stop();
    buffer_.clear();
    if (sayEnd)
        socket->write(updateClientLine(QStringLiteral("end")));
    // Closed once "end" is written; a peer that stays silent cannot hold the socket open.
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    socket->disconnectFromHost();
    if (socket->state() == QAbstractSocket::UnconnectedState)
        socket->deleteLater();
}

} // namespace kelcon
