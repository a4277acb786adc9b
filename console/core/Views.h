#pragma once

#include <QString>

namespace kelcon {

// What the logic needs from the windows. The program implements these with widgets; tests
// implement them with plain recorders, so start-up, tick and dispatch run headless.

// Modal information boxes and Yes/No questions.
class OperatorPrompt {
public:
    virtual ~OperatorPrompt() = default;
    virtual void information(const QString& text) = 0;
    virtual bool question(const QString& text) = 0;
    // A failure the operator must see but that must not stop the event loop (a database error
    // caught at the event that caused it): shown without blocking.
    virtual void error(const QString& text) = 0;
};

// The main window: event list, status line, tray.
class MainView {
public:
    virtual ~MainView() = default;
    virtual void appendEventLine(const QString& line) = 0;
    virtual void setStatusText(const QString& text) = 0;
    virtual void setTrayHint(const QString& text) = 0;
    virtual void setTitle(const QString& title) = 0;
    virtual void restoreFromTray() = 0;
};

// The pop-up alarm list with its three indicator shapes.
class AlarmPopup {
public:
    virtual ~AlarmPopup() = default;
    virtual void addAlarmLine(const QString& line) = 0; // adds and shows the window
    virtual bool isShown() const = 0;
    virtual void hide() = 0;
    virtual bool shapesVisible() const = 0;
    virtual void setShapesVisible(bool visible) = 0;
    virtual void playAlert() = 0; // "alert.wav" without waiting, or the default beep
};

} // namespace kelcon
