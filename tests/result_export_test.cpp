// The window's exports, offscreen, through the functions the dialogs call:
// the log as text, and the newest result as JSON, correlation CSV and a
// picture of the spectrum page.
#include "audio/block_assembler.h"
#include "audio/jack_client.h"
#include "audio/server_watch.h"
#include "engine/block_result.h"
#include "siggen/generator.h"
#include "support/engine_fixture.h"
#include "support/white_noise.h"
#include "support/qt_app.h"
#include "ui/main_window.h"
#include "ui/result_export.h"
#include "ui/spectrum_panel.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeySequence>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QTemporaryDir>

#include <cmath>

namespace {

QString file_text(const QString &path)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return QString::fromUtf8(file.readAll());
}

const QDateTime WHEN(QDate(2026, 12, 10), QTime(15, 4, 5));

class ResultExportTest : public ::testing::Test {
protected:
    // Noise on input 0 and the same 160 samples (480 frames) later on
    // input 1, until every row's window holds the delayed sound.
    void analyse_delayed_noise()
    {
        engine.set_main_channel(CHANNEL_INPUT_0);
        engine.set_corr_channel(CHANNEL_INPUT_1);
        ServerStandIn server(*analysis);
        server.input_0 = white_noise;
        server.input_1 = [](std::uint64_t f) { return f >= 480 ? white_noise(f - 480) : 0.0f; };
        server.max_jobs_in_flight = engine.job_limit();
        server.run((engine.window_size() / BLOCK_LEN + 3) * 3 * BLOCK_LEN);
        ASSERT_TRUE(wait_for_quiet(*analysis));
    }

    QtApp qt;
    QTemporaryDir dir;
    std::unique_ptr<Analysis> analysis = start_test_analysis(16000);   // window 7168
    Engine &engine = analysis->engine;
    JackClient jack{analysis->exchange};   // joins no server
};

}  // namespace

TEST_F(ResultExportTest, NewestResultAsJsonCsvAndPicture)
{
    analyse_delayed_noise();
    OrvSpectrum page(*analysis, jack);
    page.resize(900, 600);
    QString error;
    const QStringList files = export_newest_result(&page, dir.path(), WHEN, &error);
    ASSERT_EQ(files.size(), 3) << error.toStdString();
    EXPECT_EQ(files, QStringList({dir.path() + "/orvel-20261210-150405.json",
                                  dir.path() + "/orvel-20261210-150405-correlation.csv",
                                  dir.path() + "/orvel-20261210-150405-spectrum.png"}));

    // The JSON is orvel-analyze's object for the newest row.
    std::uint64_t newest = 0;
    BlockResult row;
    double at_peak = 0.0;
    engine.read_results([&](const ResultView &view) {
        newest = view.newest_final();
        row = row_result(view, newest, engine);
        at_peak = view.correlation_sum[view.window_size - 1 - 160];
    });
    row.block = newest;
    row.time = block_end_time(newest, 16000);
    EXPECT_EQ(file_text(files[0]), block_json(QString(), row) + '\n');
    const QJsonObject json = QJsonDocument::fromJson(file_text(files[0]).toUtf8()).object();
    EXPECT_EQ(json["max"].toObject()["samples"].toInteger(), 160);
    EXPECT_EQ(json["file"].toString(), QString());
    // Noise has no fundamental: the field is there, and null.
    EXPECT_TRUE(json.contains("fundamental") && json["fundamental"].isNull());

    // The CSV: every lag of the window, the peak at 160 samples (10 ms).
    const QStringList lines = file_text(files[1]).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), static_cast<qsizetype>(engine.window_size() + 1));
    EXPECT_EQ(lines[0], "lag_samples,lag_ms,value");
    EXPECT_EQ(lines[1].section(',', 0, 1), "0,0");
    EXPECT_EQ(lines.last().section(',', 0, 1), "7167,447.9375");
    qsizetype peak = 1;
    for (qsizetype i = 1; i < lines.size(); i++) {
        if (lines[i].section(',', 2).toDouble() > lines[peak].section(',', 2).toDouble())
            peak = i;
    }
    EXPECT_EQ(lines[peak].section(',', 0, 1), "160,10");
    EXPECT_EQ(lines[peak].section(',', 2).toDouble(), at_peak);

    const QImage picture(files[2]);
    EXPECT_EQ(picture.size(), page.grab().size());
}

TEST_F(ResultExportTest, NothingToExportBeforeTheFirstResult)
{
    OrvSpectrum page(*analysis, jack);
    QString error;
    EXPECT_TRUE(export_newest_result(&page, dir.path(), WHEN, &error).isEmpty());
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(QDir(dir.path()).isEmpty());
}

TEST_F(ResultExportTest, LogSavedAsTextAndAnUnwritablePathSaysWhy)
{
    OrvSpectrum page(*analysis, jack);
    page.text_log->appendPlainText("A5 E6 /* A5 440Hz R=0.000 */");
    page.text_log->appendPlainText("");
    QString error;
    const QString path = dir.path() + "/log.txt";
    ASSERT_TRUE(save_log(page.text_log, path, &error)) << error.toStdString();
    EXPECT_EQ(file_text(path), "A5 E6 /* A5 440Hz R=0.000 */\n\n");

    const QString nowhere = dir.path() + "/missing/log.txt";
    EXPECT_FALSE(save_log(page.text_log, nowhere, &error));
    EXPECT_TRUE(error.startsWith(nowhere)) << error.toStdString();
}

// The window carries both shortcuts, each once.
TEST_F(ResultExportTest, WindowHasCtrlSAndCtrlE)
{
    Generator generator(analysis->exchange);
    ServerWatch watch(jack, "orvel-export-test", false);
    OrvMainWindow window(*analysis, generator, watch);
    QStringList keys;
    for (const QShortcut *shortcut : window.findChildren<QShortcut *>())
        keys << shortcut->key().toString();
    EXPECT_EQ(keys.count("Ctrl+S"), 1);
    EXPECT_EQ(keys.count("Ctrl+E"), 1);
}
