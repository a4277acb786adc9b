#pragma once

#include "core/Views.h"

#include <QStringList>

// Windows for headless tests: they remember what the console showed and answer its questions.
struct RecordingViews : kelcon::MainView, kelcon::AlarmPopup, kelcon::OperatorPrompt {
    QStringList events, alarms, infos, errors, questions;
    QString status, hint, title;
    bool answer = true;
    bool shown = false, shapes = false;
    int restores = 0, alerts = 0;

    void appendEventLine(const QString& line) override { events << line; }
    void setStatusText(const QString& t) override { status = t; }
    void setTrayHint(const QString& t) override { hint = t; }
    void setTitle(const QString& t) override { title = t; }
    void restoreFromTray() override { ++restores; }

    void addAlarmLine(const QString& line) override { alarms << line; shown = true; }
    bool isShown() const override { return shown; }
    void hide() override { shown = false; }
    bool shapesVisible() const override { return shapes; }
    void setShapesVisible(bool v) override { shapes = v; }
    void playAlert() override { ++alerts; }

    void information(const QString& t) override { infos << t; }
    bool question(const QString& t) override { questions << t; return answer; }
    void error(const QString& t) override { errors << t; }

    // Event texts without their time stamps.
    QStringList texts() const
    {
        QStringList out;
        for (const QString& l : events)
            out << l.mid(l.indexOf(QStringLiteral(" ->")) + 3);
        return out;
    }
};
