// Process entry: the toolkit application, then the start-up, then the event
// loop, whose result is the exit status.
#include "app/startup.h"

#include <QApplication>

int main(int argc, char **argv)
{
    // First, so the toolkit takes its own options out of argv before getopt.
    QApplication app(argc, argv);
    int exit_status = 0;
    if (!start_orvel(argc, argv, exit_status))
        return exit_status;
    return app.exec();
}
