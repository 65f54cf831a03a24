// The window's exports, offscreen, through the functions the dialogs call:
// the log as text, and the newest result as JSON, correlation CSV and a
// picture of the spectrum page.
#include "audio/block_assembler.h"
#include "audio/jack_client.h"
#include "audio/server_watch.h"
#include "engine/block_result.h"
#include "siggen/generator.h"
#include "support/engine_fixture.h"
#include "support/result_rows.h"
#include "support/white_noise.h"
#include "support/qt_app.h"
#include "support/qt_print.h"
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

// Blocks 0 and 1 make jobs 0 and 1; block 2 makes job 2, which is given up
// for want of memory; block 3 finds the one job allowed under way and makes
// none; block 4 makes job 3. Two blocks skipped, one of them job 2: job 3's
// row is block 3 + 2 - 1 = 4, as orvel-analyze prints it (block 5 would
// count job 2 twice). A job given up after it leaves no row: the export
// keeps to job 3's, with the skipped count as orvel-analyze reads it then.
TEST(ResultExportBlocks, SkippedBlocksAndGivenUpJobsCountedAsOrvelAnalyzeCounts)
{
    QtApp qt;
    QTemporaryDir dir;
    Analysis analysis(engine_config(16000));   // not started: the test runs the stages
    Engine &engine = analysis.engine;
    JackClient jack{analysis.exchange};
    engine.set_job_memory_budget(engine.job_bytes());
    const auto give_up_next_job = [&engine] {
        submit_job(engine);
        AnalysisJob *job = engine.job_queue.try_pop();
        ASSERT_NE(job, nullptr);
        engine.abandon_job(job);
        engine.collect_task(engine.collect_queue.try_pop());
    };
    ASSERT_TRUE(complete_job(engine));
    ASSERT_TRUE(complete_job(engine));
    submit_job(engine);   // job 2, under way
    submit_job(engine);   // block 3: no room
    AnalysisJob *job_2 = engine.job_queue.try_pop();
    ASSERT_NE(job_2, nullptr);
    engine.abandon_job(job_2);
    engine.collect_task(engine.collect_queue.try_pop());
    std::vector<GroupTone> tones(engine.group_count(), GroupTone{1.0, 0.0});
    tones[40].level = 1000.0;
    ASSERT_TRUE(complete_job(engine, tones));
    ASSERT_EQ(engine.job_counts().completed, 4u);
    ASSERT_EQ(engine.blocks_skipped(), 2u);

    OrvSpectrum page(analysis, jack);
    const auto exported = [&] {
        QString error;
        const QStringList files = export_newest_result(&page, dir.path(), WHEN, &error);
        EXPECT_EQ(files.size(), 3) << error.toStdString();
        return files.isEmpty() ? QString() : file_text(files[0]);
    };
    const auto job_3_row = [&engine](std::uint64_t skipped) {
        BlockResult row;
        engine.read_results([&](const ResultView &view) { row = row_result(view, 3, engine); });
        row.skipped = skipped;
        row.block = row_block_number(3, skipped, 1);
        row.time = block_end_time(row.block, 16000);
        return block_json(QString(), row) + '\n';
    };
    const QString first = exported();
    const QJsonObject json = QJsonDocument::fromJson(first.toUtf8()).object();
    EXPECT_EQ(json["block"].toInteger(), 4);
    EXPECT_EQ(json["skipped"].toInteger(), 2);
    EXPECT_EQ(first, job_3_row(2));

    give_up_next_job();
    ASSERT_EQ(engine.job_counts().completed, 5u);
    EXPECT_EQ(exported(), job_3_row(3));
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
