#include "ui/result_export.h"

#include "engine/block_result.h"
#include "engine/engine.h"
#include "engine/number_text.h"
#include "engine/readout.h"
#include "ui/spectrum_panel.h"

#include <QFile>
#include <QFileDialog>
#include <QKeySequence>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QShortcut>

#include <vector>

namespace {

bool write_text(const QString &path, const QString &text, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)
        || file.write(text.toUtf8()) < 0 || !file.flush()) {
        *error = path + QStringLiteral(": ") + file.errorString();
        return false;
    }
    return true;
}

// The newest row that is final (the newest job may have been given up for
// want of memory and left no row), as far back as the rows reach; false
// when there is none.
bool newest_final_row(const ResultView &view, std::uint64_t &seq)
{
    for (std::uint64_t back = 0; back < RESULT_ROWS && back < view.completed; back++) {
        seq = view.job_back(back);
        if (view.row_final(seq))
            return true;
    }
    return false;
}

// Jobs before seq given up for want of memory, as far as the rows still
// tell: among the last RESULT_ROWS jobs. Memory runs short seldom, and then
// for a few jobs together.
std::uint64_t given_up_before(const ResultView &view, std::uint64_t seq)
{
    std::uint64_t given_up = 0;
    for (std::uint64_t back = 0; back < RESULT_ROWS && back < view.completed; back++) {
        const std::uint64_t job = view.job_back(back);
        if (job < seq && !view.row_final(job))
            given_up++;
    }
    return given_up;
}

}  // namespace

bool save_log(const QPlainTextEdit *log, const QString &path, QString *error)
{
    return write_text(path, log->toPlainText() + u'\n', error);
}

QStringList export_file_names(const QString &directory, const QDateTime &when)
{
    const QString stem = directory + QStringLiteral("/orvel-") + when.toString(QStringLiteral("yyyyMMdd-HHmmss"));
    return {stem + QStringLiteral(".json"), stem + QStringLiteral("-correlation.csv"),
            stem + QStringLiteral("-spectrum.png")};
}

QString correlation_csv(const double *sum, std::uint64_t window_size, int rate)
{
    QString csv = QStringLiteral("lag_samples,lag_ms,value\n");
    // The flip is its own inverse: delay_of_index gives a delay's index.
    for (std::uint64_t lag = 0; lag < window_size; lag++) {
        csv += QString::number(lag) + u',' + cut_number_text(static_cast<double>(lag) * 1000.0 / rate) + u','
            + cut_number_text(sum[delay_of_index(lag, window_size)]) + u'\n';
    }
    return csv;
}

QStringList export_newest_result(OrvSpectrum *page, const QString &directory, const QDateTime &when,
                                 QString *error)
{
    const Engine &engine = page->engine();
    const std::uint64_t skipped = engine.blocks_skipped();
    // The row and the correlation as one picture.
    bool found = false;
    BlockResult result;
    std::vector<double> sum(engine.window_size());
    engine.read_results([&](const ResultView &view) {
        std::uint64_t seq = 0;
        found = newest_final_row(view, seq);
        if (!found)
            return;
        result = row_result(view, seq, engine);
        result.skipped = skipped;
        // Blocks since the start, as orvel-analyze counts them in a file.
        result.block = row_block_number(seq, skipped, given_up_before(view, seq));
        result.time = block_end_time(result.block, engine.sample_rate());
        std::copy(view.correlation_sum, view.correlation_sum + view.window_size, sum.begin());
    });
    if (!found) {
        *error = QObject::tr("There is no result yet.");
        return {};
    }

    const QStringList names = export_file_names(directory, when);
    if (!write_text(names[0], block_json(QString(), result) + u'\n', error)
        || !write_text(names[1], correlation_csv(sum.data(), engine.window_size(), engine.sample_rate()), error))
        return {};
    if (!page->grab().save(names[2], "PNG")) {
        *error = names[2] + QObject::tr(": cannot be written");
        return {};
    }
    return names;
}

ResultExport::ResultExport(QWidget *window, OrvSpectrum *page)
    : QObject(window), window_(window), page_(page)
{
    auto *save = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_S), window);
    connect(save, &QShortcut::activated, this, &ResultExport::handle_save_log);
    auto *result = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_E), window);
    connect(result, &QShortcut::activated, this, &ResultExport::handle_export);
}

void ResultExport::handle_save_log()
{
    const QString path = QFileDialog::getSaveFileName(window_, tr("Save the log"), QStringLiteral("orvel-log.txt"),
                                                      tr("Text files (*.txt)"));
    QString error;
    if (!path.isEmpty() && !save_log(page_->text_log, path, &error))
        QMessageBox::warning(window_, tr("Save the log"), error);
}

void ResultExport::handle_export()
{
    if (directory.isEmpty())
        directory = QFileDialog::getExistingDirectory(window_, tr("Export results into"));
    if (directory.isEmpty())
        return;
    QString error;
    if (export_newest_result(page_, directory, QDateTime::currentDateTime(), &error).isEmpty())
        QMessageBox::warning(window_, tr("Export the newest result"), error);
}
