#include "app/MainWindow.h"

#include "app/KelconSystem.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QStatusBar>
#include <QStyle>
#include <QVBoxLayout>

namespace kelcon {

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent)
{
    auto* central = new QWidget(this);
    auto* layout = new QHBoxLayout(central);
    list_ = new QListWidget(central);
    list_->setMinimumSize(640, 360);
    list_->setMouseTracking(true);
    layout->addWidget(list_, 1);

    auto* side = new QVBoxLayout;
    side->addWidget(new QLabel(QStringLiteral("удаленный узел"), central));
    remote_ = new QComboBox(central);
    side->addWidget(remote_);
    connect_ = new QPushButton(QStringLiteral("Соединиться"), central);
    side->addWidget(connect_);
    side->addStretch(1);
    progress_ = new QProgressBar(central);
    progress_->setRange(0, 100);
    progress_->hide();
    side->addWidget(progress_);
    layout->addLayout(side);
    setCentralWidget(central);

    QMenu* actions = menuBar()->addMenu(QStringLiteral("&Действия"));
    actions->addAction(QStringLiteral("Очистить списки"), this, [this] { list_->clear(); });
    actions->addSeparator();
    actions->addAction(QStringLiteral("Вы&ход"), this, [this] { exitCommand(); });

    statusBar()->showMessage(QString());
    tray_ = new QSystemTrayIcon(QApplication::style()->standardIcon(QStyle::SP_ComputerIcon), this);
    connect(tray_, &QSystemTrayIcon::activated, this, [this] { restoreFromTray(); });
    if (QSystemTrayIcon::isSystemTrayAvailable())
        tray_->show();
}

void MainWindow::attach(KelconSystem* system)
{
    system_ = system;
    connect(connect_, &QPushButton::clicked, this, [this] {
        if (system_)
            system_->client().toggle(remote_->currentText());
    });
}

void MainWindow::fillRemoteNodes(const QStringList& entries)
{
    remote_->clear();
    remote_->addItems(entries);
    if (!entries.isEmpty())
        remote_->setCurrentIndex(0);
}

bool MainWindow::isAlarmLine(const QString& line)
{
    return line.contains(QStringLiteral("Авария")) || line.contains(QStringLiteral("авария"));
}

void MainWindow::appendEventLine(const QString& line)
{
    auto* item = new QListWidgetItem(line, list_);
    if (isAlarmLine(line))
        item->setForeground(Qt::red);
    item->setToolTip(line.mid(line.indexOf(QStringLiteral("->")) + 2));
    if (list_->count() > 5)
        list_->scrollToItem(list_->item(list_->count() - 5), QAbstractItemView::PositionAtTop);
}

void MainWindow::setStatusText(const QString& text) { statusBar()->showMessage(text); }
void MainWindow::setTrayHint(const QString& text) { tray_->setToolTip(text); }
void MainWindow::setTitle(const QString& title) { setWindowTitle(title); }

void MainWindow::restoreFromTray()
{
    if (isMinimized() || !isVisible())
        showNormal();
    raise();
}

void MainWindow::information(const QString& text)
{
    QMessageBox::information(this, QApplication::applicationDisplayName(), text);
}

bool MainWindow::question(const QString& text)
{
    return QMessageBox::question(this, QStringLiteral("Выход"), text, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
}

void MainWindow::error(const QString& text)
{
    // Not modal: the bus, the sockets and the tick go on while the operator reads it.
    auto* box = new QMessageBox(QMessageBox::Critical, QApplication::applicationDisplayName(), text, QMessageBox::Ok,
                                this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

void MainWindow::exitCommand()
{
    if (system_ && system_->console().confirmExit()) {
        closing_ = true;
        close();
        QApplication::quit();
    }
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // The title bar's close button does nothing; the program is left through "Вы&ход".
    if (!closing_)
        event->ignore();
}

void MainWindow::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized() && tray_->isVisible())
        QMetaObject::invokeMethod(this, &QWidget::hide, Qt::QueuedConnection);
}

AlarmListWindow::AlarmListWindow(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setWindowTitle(QStringLiteral("Аварии"));
    auto* layout = new QVBoxLayout(this);
    auto* indicators = new QHBoxLayout;
    for (QFrame*& shape : shapes_) {
        shape = new QFrame(this);
        shape->setFixedSize(24, 24);
        shape->setStyleSheet(QStringLiteral("background: red; border-radius: 12px;"));
        shape->setVisible(false);
        indicators->addWidget(shape);
    }
    indicators->addStretch(1);
    layout->addLayout(indicators);
    list_ = new QListWidget(this);
    list_->setMinimumSize(560, 200);
    layout->addWidget(list_);
    auto* close = new QPushButton(QStringLiteral("Закрыть"), this);
    connect(close, &QPushButton::clicked, this, [this] {
        if (onClose)
            onClose();
        QWidget::hide();
    });
    layout->addWidget(close, 0, Qt::AlignRight);
}

void AlarmListWindow::addAlarmLine(const QString& line)
{
    auto* item = new QListWidgetItem(line, list_);
    item->setForeground(Qt::red);
    list_->scrollToBottom();
    show();
    raise();
}

void AlarmListWindow::setShapesVisible(bool visible)
{
    shapesVisible_ = visible;
    for (QFrame* shape : shapes_)
        shape->setVisible(visible);
}

void AlarmListWindow::playAlert()
{
    QApplication::beep();
}

} // namespace kelcon
