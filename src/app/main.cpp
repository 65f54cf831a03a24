// Process entry: the answers that need no display (help, version, bad
// values), the toolkit application, then the start-up, then the event loop,
// whose result is the exit status.
#include "app/startup.h"
#include "ui/kept_settings.h"

#include <QApplication>

int main(int argc, char **argv)
{
    int exit_status = 0;
    if (!answer_command_line(argc, argv, exit_status))
        return exit_status;
    // Before the full parse, so the toolkit takes its own options out of argv.
    QApplication app(argc, argv);
    const std::unique_ptr<OrvelProgram> program = start_orvel(argc, argv, exit_status);
    if (!program)
        return exit_status;
    const int status = app.exec();
    keep_settings(*program->window);
    return status;
}
