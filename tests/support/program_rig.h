// The program's objects as start-up makes them (make_program), for tests
// that drive its audio side themselves: the JACK client stays closed and the
// watch does not look until the test says so.
#pragma once

#include "app/startup.h"
#include "support/qt_app.h"

#include <memory>

struct ProgramRig {
    explicit ProgramRig(int rate)
        : qt(QApplication::instance() != nullptr ? nullptr : std::make_unique<QtApp>()),
          program(make_program(engine_config(rate)))
    {
    }

    std::unique_ptr<QtApp> qt;  // the window's toolkit, unless the test has its own
    std::unique_ptr<OrvelProgram> program;  // after qt: its window goes first
};
