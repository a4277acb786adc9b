#pragma once

#include "FakeAdapter.h"
#include "Recorders.h"

#include "core/Console.h"

// A console without windows: the recorders stand in for the windows and the scripted adapter for
// the bus. Tests change what they need of it (another loader, a pause that records).
inline kelcon::ConsoleEnv headlessEnv(const QString& folder, const kelcon::Clock& clock, RecordingViews& views)
{
    kelcon::ConsoleEnv env;
    env.folder = folder;
    env.clock = &clock;
    env.prompt = &views;
    env.view = &views;
    env.popup = &views;
    env.pause = [](int) {};
    env.loadAdapterLibrary = [] { return kelcon::ucanxFromTable(fake::api()); };
    return env;
}
