// The user's choices kept from one start to the next, in a configuration
// directory of the test's own (never the user's): a start after a close
// finds them, the real program keeps them across a restart (the command line
// still winning), and a damaged or unreadable file gives the defaults and
// one line on stderr.
#include "app/startup.h"
#include "support/background_program.h"
#include "support/jack_server.h"
#include "support/qt_app.h"
#include "support/stderr_capture.h"
#include "ui/button_map.h"
#include "ui/kept_settings.h"
#include "ui/result_export.h"
#include "ui/siggen_panel.h"
#include "ui/spectrum_panel.h"
#include "ui/tuner_panel.h"
#include "engine/scala_file.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QScrollBar>
#include <QSettings>
#include <QSlider>
#include <QSpinBox>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

const std::string PROGRAM = ORVEL_BINARY;

// A configuration directory of this test's own, set before anything reads
// the settings' location (the toolkit keeps it once asked).
class KeptSettings : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/orvel-settings-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        config_ = name;
        setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
    }
    void TearDown() override { std::filesystem::remove_all(config_); }

    std::string file() const { return config_ + "/orvel/orvel.ini"; }
    std::vector<std::string> env() const { return {"XDG_CONFIG_HOME=" + config_}; }

    std::string config_;
};


// The choices a user might make, set as the controls would be.
void choose(OrvMainWindow &window)
{
    OrvSigGen &siggen = *window.siggen_page;
    siggen.output_0_map->handle_released(SOURCE_WHITE_NOISE);
    siggen.output_1_map->handle_released(SOURCE_COSINE);
    siggen.main_input_map->handle_released(CHANNEL_OUTPUT_0);
    siggen.corr_input_map->handle_released(CHANNEL_INPUT_1);
    siggen.band_pass_box->scroll_bar->setValue(1234);
    siggen.band_width_box->scroll_bar->setValue(321);
    siggen.level_box->scroll_bar->setValue(-16);
    window.spectrum_page->decay_map->handle_released(2);
    window.spectrum_page->sensitivity_slider->setValue(7);
    window.spectrum_page->tuning_box->setValue(-123);
    OrvTuner &tuner = *window.tuner_page;
    tuner.transposition_box->setCurrentIndex(2);
    tuner.tonic_box->setCurrentIndex(5);
    tuner.select_temperament_option("kirnberger3", QString());
    tuner.steadiness_slider->setValue(9);
    tuner.gate_box->setValue(-45.0);
    tuner.zone_box->setValue(3.5);
    window.result_export->directory = QStringLiteral("/exports/here");
    window.resize(900, 700);
}

}  // namespace

// Closed and started again, the program shows what was chosen, and its
// engine and generator run with it.
TEST_F(KeptSettings, ChoicesComeBackAtTheNextStart)
{
    QtApp qt;
    {
        const std::unique_ptr<OrvelProgram> program = make_program(engine_config(16000));
        restore_settings(*program->window);  // nothing kept yet: nothing changes
        choose(*program->window);
        keep_settings(*program->window);
    }
    ASSERT_TRUE(std::filesystem::exists(file()));

    const std::unique_ptr<OrvelProgram> program = make_program(engine_config(16000));
    const StderrCapture err;
    restore_settings(*program->window);
    EXPECT_EQ(err.text(), "");
    const OrvMainWindow &window = *program->window;
    const OrvSigGen &siggen = *window.siggen_page;
    EXPECT_EQ(siggen.output_0_map->selection, SOURCE_WHITE_NOISE);
    EXPECT_EQ(siggen.output_1_map->selection, SOURCE_COSINE);
    EXPECT_EQ(siggen.main_input_map->selection, CHANNEL_OUTPUT_0);
    EXPECT_EQ(siggen.corr_input_map->selection, CHANNEL_INPUT_1);
    EXPECT_EQ(siggen.band_pass_box->scroll_bar->value(), 1234);
    EXPECT_EQ(siggen.band_width_box->scroll_bar->value(), 321);
    EXPECT_EQ(siggen.level_box->scroll_bar->value(), -16);
    EXPECT_EQ(window.spectrum_page->decay_map->selection, 2);
    EXPECT_EQ(window.spectrum_page->sensitivity_slider->value(), 7);
    EXPECT_EQ(window.spectrum_page->tuning_box->value(), -123);
    const OrvTuner &tuner = *window.tuner_page;
    EXPECT_EQ(tuner.transposition_box->currentIndex(), 2);
    EXPECT_EQ(tuner.tonic_box->currentIndex(), 5);
    EXPECT_EQ(tuner.temperament_option(), "kirnberger3");
    EXPECT_EQ(tuner.temperament_box->currentIndex(), 5);
    EXPECT_EQ(tuner.steadiness_slider->value(), 9);
    EXPECT_EQ(tuner.gate_box->value(), -45.0);
    EXPECT_EQ(tuner.zone_box->value(), 3.5);
    EXPECT_DOUBLE_EQ(tuner.reference_box->value(), 436.9);
    EXPECT_EQ(window.result_export->directory, "/exports/here");
    EXPECT_EQ(window.size(), QSize(900, 700));

    // Restored as a user's change: the owners hold the values too.
    const Engine &engine = program->analysis->engine;
    EXPECT_EQ(engine.main_channel(), CHANNEL_OUTPUT_0);
    EXPECT_EQ(engine.corr_channel(), CHANNEL_INPUT_1);
    EXPECT_EQ(engine.current_sensitivity(), 7);
    EXPECT_EQ(engine.tuning_factor(), std::pow(2.0, -123 / 12000.0));
    // The tuner's settings reached it as the user's would.
    EXPECT_EQ(tuner.settings().written, TRANSPOSITIONS[2].written);
    EXPECT_EQ(tuner.settings().tuning.tonic, 5);
    EXPECT_FALSE(tuner.settings().tuning.equal);
    EXPECT_EQ(tuner.settings().steadiness, 9);
    EXPECT_EQ(tuner.settings().gate_dbfs, -45.0);
    EXPECT_EQ(tuner.settings().in_tune_cents, 3.5);
    const GeneratorSnapshot sound = program->generator->snapshot();
    EXPECT_EQ(sound.source_0, SOURCE_WHITE_NOISE);
    EXPECT_EQ(sound.source_1, SOURCE_COSINE);
    EXPECT_DOUBLE_EQ(sound.phase_step, 1234 * 2 * M_PI / 16000);
    EXPECT_EQ(sound.level, std::pow(2.0, -16 / 16.0));
}

// A reference set in hertz comes back to the tenth and wins over the fine
// tuning; a kept Scala file comes back, and once it is gone the page says
// why and tunes equal.
TEST_F(KeptSettings, TunerReferenceAndScalaFileComeBack)
{
    const std::string scala = config_ + "/pure-third.scl";
    std::ofstream(scala) << "A pure major third\n12\n100.0\n200.0\n300.0\n5/4\n500.0\n600.0\n700.0\n800.0\n900.0\n"
                            "1000.0\n1100.0\n2/1\n";
    QtApp qt;
    {
        const std::unique_ptr<OrvelProgram> program = make_program(engine_config(16000));
        OrvTuner &tuner = *program->window->tuner_page;
        tuner.reference_box->setValue(442.3);
        ASSERT_TRUE(tuner.choose_scala_file(QString::fromStdString(scala)));
        keep_settings(*program->window);
    }
    {
        const std::unique_ptr<OrvelProgram> program = make_program(engine_config(16000));
        restore_settings(*program->window);
        const OrvTuner &tuner = *program->window->tuner_page;
        EXPECT_EQ(tuner.reference_box->value(), 442.3);
        EXPECT_DOUBLE_EQ(program->analysis->engine.reference_a4(), 442.3);
        EXPECT_EQ(program->window->spectrum_page->tuning_box->value(), fine_tuning_for_reference(442.3));
        EXPECT_EQ(tuner.temperament_option(), "scala");
        EXPECT_EQ(tuner.scala_path().toStdString(), scala);
        EXPECT_TRUE(tuner.scala_label->text().contains("pure-third.scl"));
    }
    std::filesystem::remove(scala);
    const std::unique_ptr<OrvelProgram> program = make_program(engine_config(16000));
    restore_settings(*program->window);
    const OrvTuner &tuner = *program->window->tuner_page;
    QString error;
    ASSERT_FALSE(read_scala_file(QString::fromStdString(scala), &error));
    EXPECT_EQ(tuner.scala_label->text(), error);
    EXPECT_EQ(tuner.temperament_option(), "equal");
    EXPECT_TRUE(tuner.settings().tuning.equal);
    EXPECT_EQ(tuner.reference_box->value(), 442.3);
}

// A file that is not whole, not ours or not readable: the defaults, one line
// on stderr, no crash; and the next close writes a whole file again.
TEST_F(KeptSettings, DamagedOrUnreadableFileGivesTheDefaults)
{
    const struct {
        const char *what;
        const char *contents;  // nullptr: a directory where the file should be
    } cases[] = {
        {"random bytes", "\x01\xff\xfe[[[=\n\x00\x80garbage\n=\n"},
        {"cut short", "[generator]\nmain_in"},
        {"another program's", "[General]\ncolour=blue\n"},
        {"a directory", nullptr},
    };
    QtApp qt;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(config_ + "/orvel");
        std::filesystem::create_directories(config_ + "/orvel");
        if (c.contents != nullptr)
            std::ofstream(file(), std::ios::binary) << c.contents;
        else
            std::filesystem::create_directory(file());

        const std::unique_ptr<OrvelProgram> program = make_program(engine_config(16000));
        {
            const StderrCapture err;
            restore_settings(*program->window);
            const std::string said = err.text();
            EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
            EXPECT_EQ(said.rfind("orvel: " + file(), 0), 0u) << said;
            EXPECT_NE(said.find("starting from the defaults"), std::string::npos) << said;
        }
        EXPECT_EQ(program->window->siggen_page->output_0_map->selection, SOURCE_SILENCE);
        EXPECT_EQ(program->window->spectrum_page->decay_map->selection, 0);
        EXPECT_EQ(program->window->siggen_page->band_pass_box->scroll_bar->value(), 16000 / 4);

        if (c.contents == nullptr)
            continue;  // nothing can be written in place of a directory
        choose(*program->window);
        keep_settings(*program->window);
        const std::unique_ptr<OrvelProgram> again = make_program(engine_config(16000));
        const StderrCapture err;
        restore_settings(*again->window);
        EXPECT_EQ(err.text(), "");
        EXPECT_EQ(again->window->siggen_page->output_0_map->selection, SOURCE_WHITE_NOISE);
    }
}

// The real program, started twice: it finds what was kept and keeps it on
// close; a value the command line rules out (a centre above half of -r's
// rate) is brought into range. Two programs closing at once leave a whole
// file.
TEST_F(KeptSettings, RealProgramKeepsThemAcrossARestart)
{
    {
        QtApp qt;
        const std::unique_ptr<OrvelProgram> program = make_program(engine_config(16000));
        choose(*program->window);
        program->window->siggen_page->band_pass_box->scroll_bar->setValue(7000);
        keep_settings(*program->window);
    }
    use_absent_server();
    {
        BackgroundProgram orvel(PROGRAM, env(), {"-r", "8000"});
        ASSERT_TRUE(orvel.says("No JACK server")) << orvel.err();
        EXPECT_EQ(orvel.close(), 0);
        EXPECT_EQ(orvel.err().find("settings"), std::string::npos) << orvel.err();
    }
    {
        const QSettings kept(QString::fromStdString(file()), QSettings::IniFormat);
        EXPECT_EQ(kept.value("generator/output_0").toInt(), SOURCE_WHITE_NOISE);
        EXPECT_EQ(kept.value("generator/main_input").toInt(), CHANNEL_OUTPUT_0);
        EXPECT_EQ(kept.value("spectrum/fine_tuning").toInt(), -123);
        EXPECT_EQ(kept.value("export/directory").toString(), "/exports/here");
        EXPECT_EQ(kept.value("generator/centre_hz").toInt(), 8000 / 2);
    }

    BackgroundProgram first(PROGRAM, env());
    BackgroundProgram second(PROGRAM, env());
    ASSERT_TRUE(first.says("No JACK server")) << first.err();
    ASSERT_TRUE(second.says("No JACK server")) << second.err();
    kill(first.pid(), SIGTERM);
    kill(second.pid(), SIGTERM);
    EXPECT_EQ(first.exit_status(PROGRAM_LIMIT), 0);
    EXPECT_EQ(second.exit_status(PROGRAM_LIMIT), 0);
    const QSettings kept(QString::fromStdString(file()), QSettings::IniFormat);
    EXPECT_EQ(kept.status(), QSettings::NoError);
    EXPECT_EQ(kept.value("orvel/settings_format").toInt(), 1);
    EXPECT_EQ(kept.value("spectrum/fine_tuning").toInt(), -123);
}
