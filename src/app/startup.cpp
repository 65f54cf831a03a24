#include "app/startup.h"

#include "app/audio_start.h"
#include "app/close_on_signal.h"
#include "audio/audio_device.h"
#include "engine/command_line.h"
#include "ui/kept_settings.h"

#include <QThread>

namespace {

constexpr const char *CLIENT_NAME = "orvel";

// Whether the command line lets the program go on; if not, says why (or
// prints what was asked for) and sets exit_status.
bool command_line_lets_us_run(const CommandLine &line, int &exit_status)
{
    switch (line.action) {
    case StartupAction::run:
        break;
    case StartupAction::usage:
        print_usage(line);
        exit_status = line.exit_status;
        return false;
    case StartupAction::help:
        print_help();
        exit_status = 0;
        return false;
    case StartupAction::version:
        print_version();
        exit_status = 0;
        return false;
    }
    return true;
}

}  // namespace

bool answer_command_line(int argc, char **argv, int &exit_status)
{
    return command_line_lets_us_run(parse_own_options(argc, argv), exit_status);
}

std::unique_ptr<OrvelProgram> make_program(const EngineConfig &config)
{
    auto program = std::make_unique<OrvelProgram>();
    // The engine's threads start before audio, and wait on their empty queues.
    program->analysis = start_analysis(config);
    program->generator = std::make_unique<Generator>(program->analysis->exchange);
    program->jack = std::make_unique<JackClient>(program->analysis->exchange);
    program->watch = std::make_unique<ServerWatch>(*program->jack, CLIENT_NAME, true);
    program->window = std::make_unique<OrvMainWindow>(*program->analysis, *program->generator, *program->watch);
    return program;
}

std::unique_ptr<OrvelProgram> start_orvel(int argc, char **argv, int &exit_status)
{
    const CommandLine line = parse_command_line(argc, argv);
    if (!command_line_lets_us_run(line, exit_status))
        return nullptr;

    audio_init();
    std::unique_ptr<OrvelProgram> program =
        make_program(engine_config(line.sample_rate, line.window_request, line.worker_count));
    // The user's last choices before the sound starts, so none is heard
    // changing.
    restore_settings(*program->window);
    close_on_signal(program->window.get());
    audio_start(*program);
    if (close_requested()) {
        // Closed during the "NO AUDIO" box: still a close by the user.
        keep_settings(*program->window);
        exit_status = 0;
        return nullptr;
    }

    program->window->show();
    QThread::currentThread()->setPriority(QThread::LowPriority);
    return program;
}
