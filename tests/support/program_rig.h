// The program's objects as start-up makes them (make_program), for tests
// that drive its audio side themselves: the JACK client stays closed and the
// watch does not look until the test says so.
#pragma once

#include "app/startup.h"
#include "support/qt_app.h"

#include <cstdlib>
#include <memory>

// The window is never shown: no display is needed, whatever the test's
// environment says.
inline std::unique_ptr<QtApp> offscreen_app_unless_running()
{
    if (QApplication::instance() != nullptr)
        return nullptr;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    return std::make_unique<QtApp>();
}

struct ProgramRig {
    explicit ProgramRig(int rate) : qt(offscreen_app_unless_running()), program(make_program(engine_config(rate))) {}

    std::unique_ptr<QtApp> qt;  // the window's toolkit, unless the test has its own
    std::unique_ptr<OrvelProgram> program;  // after qt: its window goes first
};
