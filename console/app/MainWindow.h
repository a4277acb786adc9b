#pragma once

#include "core/Views.h"

#include <QComboBox>
#include <QFrame>
#include <QListWidget>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QSystemTrayIcon>

#include <functional>

namespace kelcon {

class KelconSystem;

// The main window: the event and alarm lines of this run, the remote-node choice, the status
// line and the tray icon. Everything it shows comes from the console through MainView.
class MainWindow : public QMainWindow, public MainView, public OperatorPrompt {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);

    // Connects the window's commands once the console exists.
    void attach(KelconSystem* system);
    void fillRemoteNodes(const QStringList& entries);

    // MainView
    void appendEventLine(const QString& line) override;
    void setStatusText(const QString& text) override;
    void setTrayHint(const QString& text) override;
    void setTitle(const QString& title) override;
    void restoreFromTray() override;

    // OperatorPrompt
    void information(const QString& text) override;
    bool question(const QString& text) override;
    void error(const QString& text) override;

    QListWidget* eventList() const { return list_; }
    QPushButton* connectButton() const { return connect_; }
    QComboBox* remoteNodes() const { return remote_; }

    // True when a line is drawn as an alarm.
    static bool isAlarmLine(const QString& line);

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void exitCommand();

    KelconSystem* system_ = nullptr;
    QListWidget* list_;
    QComboBox* remote_;
    QPushButton* connect_;
    QProgressBar* progress_;
    QSystemTrayIcon* tray_;
    bool closing_ = false;
};

// The pop-up alarm list with its three blinking indicator shapes.
class AlarmListWindow : public QWidget, public AlarmPopup {
    Q_OBJECT
public:
    explicit AlarmListWindow(QWidget* parent = nullptr);

    void addAlarmLine(const QString& line) override;
    bool isShown() const override { return isVisible(); }
    void hide() override { QWidget::hide(); }
    bool shapesVisible() const override { return shapesVisible_; }
    void setShapesVisible(bool visible) override;
    void playAlert() override;

    QListWidget* lines() const { return list_; }
    std::function<void()> onClose; // the operator saw the alarms

private:
    QListWidget* list_;
    QFrame* shapes_[3];
    bool shapesVisible_ = false;
};

} // namespace kelcon
