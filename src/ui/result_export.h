// What the window saves: the log as a text file (Ctrl+S), and the newest
// result (Ctrl+E) as the JSON object orvel-analyze prints for a block, the
// whole correlation as CSV and a picture of the spectrum page, all three
// named after the time. The functions below do the writing; the shortcuts
// only ask where, with a file dialog, and then call them. Main (toolkit)
// thread only.
#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>

class OrvSpectrum;
class QPlainTextEdit;
class QWidget;

// Write the log's text to path, with a newline at the end. False, with the
// reason in error, when the file cannot be written.
bool save_log(const QPlainTextEdit *log, const QString &path, QString *error);

// The file names of an export made at when: orvel-YYYYMMDD-HHMMSS.json,
// -correlation.csv and -spectrum.png, in that order, inside directory.
QStringList export_file_names(const QString &directory, const QDateTime &when);

// The correlation as CSV: "lag_samples,lag_ms,value", then one line per lag
// from 0 to window_size - 1 (sum[window_size - 1 - lag]), ms not cut.
// Pure; sum is read as given.
QString correlation_csv(const double *sum, std::uint64_t window_size, int rate);

// Write the three files of export_file_names(directory, when) for the
// newest final result row (a job given up left none, and is passed over),
// reading the results through the engine's functions, and the page's
// picture. The row's block is the one orvel-analyze prints for it
// (row_block_number), as far as the rows still tell which jobs were given
// up: among the last RESULT_ROWS. Returns the files written; empty, with
// the reason in error, when there is no result yet or a file cannot be
// written.
QStringList export_newest_result(OrvSpectrum *page, const QString &directory, const QDateTime &when,
                                 QString *error);

// Ctrl+S and Ctrl+E on window. Ctrl+E asks for the directory the first
// time and exports there afterwards.
class ResultExport : public QObject {
    Q_OBJECT

public:
    ResultExport(QWidget *window, OrvSpectrum *page);

    QString directory;   // where Ctrl+E exports; empty until chosen

public slots:
    void handle_save_log();
    void handle_export();

private:
    QWidget *window_;
    OrvSpectrum *page_;
};
