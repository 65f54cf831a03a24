#include "app/close_on_signal.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QWidget>

namespace {

int signal_pipe[2] = {-1, -1};
bool close_was_requested = false;

// Only async-signal-safe work here: the event loop does the rest.
void on_signal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(signal_pipe[1], &byte, 1);
}

}  // namespace

void close_on_signal(QWidget *window)
{
    if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(signal_pipe[0], QSocketNotifier::Read, window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [window] {
        char byte;
        while (read(signal_pipe[0], &byte, 1) > 0) {
        }
        close_was_requested = true;
        if (QWidget *modal = QApplication::activeModalWidget())
            modal->close();
        window->close();
    });
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool close_requested()
{
    return close_was_requested;
}
