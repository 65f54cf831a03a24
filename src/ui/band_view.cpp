#include "ui/band_view.h"

#include "audio/midi_output.h"
#include "ui/number_text.h"
#include "ui/spectrum_panel.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {

const char *const note_templates[PITCH_CLASS_COUNT] = {
    "C%1", "D%1B", "D%1", "E%1B", "E%1", "F%1", "G%1B", "G%1", "A%1B", "A%1", "B%1B", "B%1",
};

constexpr int REPAINT_MS = 500;
constexpr int MIN_WIDTH = 192;
constexpr int MIDI_VELOCITY = 90;
constexpr int CHORD_MS = 50;     // each recorded row sounds this long ...
constexpr int REST_MS = 50;      // ... then this much silence

// The row's strongest entry: the first of equals wins.
int strongest(const PitchClassPeak *row)
{
    int m = 0;
    for (int l = 1; l < PITCH_CLASS_COUNT; l++) {
        if (row[l].level > row[m].level)
            m = l;
    }
    return m;
}

}  // namespace

QString note_name(std::int64_t note)
{
    const int index = static_cast<int>(((note % 12) + 12) % 12);
    return QString(note_templates[index]).arg(note / 12);
}

std::int64_t note_of_band(std::int64_t band)
{
    return (band + 128) / 256 + 9;
}

double band_deviation(std::int64_t band)
{
    return (((band + 128) % 256) - 128) / 256.0;
}

double sensitivity_threshold(int sensitivity)
{
    return std::ldexp(1.0, sensitivity);
}

BandStrip build_band_strip(const PitchClassPeak *rows, std::uint64_t row_count,
                           std::uint64_t completed, double threshold)
{
    BandStrip strip{QImage(PITCH_CLASS_COUNT, BAND_STRIP_ROWS, QImage::Format_ARGB32), 0.0};
    strip.image.fill(QColor(Qt::white));
    for (int r = 0; r < BAND_STRIP_ROWS; r++) {
        const int y = BAND_STRIP_ROWS - 1 - r;
        const PitchClassPeak *row =
            rows + ((completed + row_count - BAND_STRIP_ROWS + r) % row_count) * PITCH_CLASS_COUNT;
        const int m = strongest(row);
        const double max = row[m].level;
        strip.note_band = row[m].band;
        if (max < 1.0)
            continue;
        for (int l = 0; l < PITCH_CLASS_COUNT; l++) {
            if (row[l].level < threshold)
                continue;
            const int g = std::clamp(static_cast<int>(row[l].level / max * 255), 0, 255);
            strip.image.setPixel(l, y, qRgb(255 - g, 255 - g, 255 - g));
        }
    }
    return strip;
}

QString note_readout(double note_band, const double *freqs)
{
    const std::int64_t k = static_cast<std::int64_t>(note_band);
    return note_name(note_of_band(k)) +
           QString(" - %1Hz\nR=%2").arg(millihertz_text(freqs[k])).arg(band_deviation(k), 0, 'f', 3);
}

RowNotes row_notes(const PitchClassPeak *row, double threshold, const double *freqs)
{
    RowNotes notes{QString(), {}, 0};
    for (int l = 0; l < PITCH_CLASS_COUNT; l++) {
        if (row[l].level < threshold)
            continue;
        const std::int64_t n = note_of_band(static_cast<std::int64_t>(static_cast<std::uint64_t>(row[l].band)));
        notes.text += note_name(n) + " ";
        notes.keys[notes.key_count++] = static_cast<int>(n % 256);
    }
    const std::int64_t k = static_cast<std::int64_t>(row[strongest(row)].band);
    notes.text += "/* " + note_name(note_of_band(k)) +
                  QString(" %2Hz R=%3 */").arg(millihertz_text(freqs[k])).arg(band_deviation(k), 0, 'f', 3);
    return notes;
}

QString column_note_name(int x, int width)
{
    const int col = x * PITCH_CLASS_COUNT / width;
    const int index = ((col + 9) % PITCH_CLASS_COUNT + PITCH_CLASS_COUNT) % PITCH_CLASS_COUNT;
    return QString(note_templates[index]).arg(5);
}

OrvBand::OrvBand(OrvSpectrum *spectrum)
    : QWidget(), spectrum(spectrum), watchdog(new QTimer(this))
{
    connect(watchdog, SIGNAL(timeout()), this, SLOT(handle_watchdog()));
    setMinimumSize(MIN_WIDTH, 1);
    setAttribute(Qt::WA_MouseTracking);
    watchdog->start(REPAINT_MS);
}

void OrvBand::handle_watchdog()
{
    update();
}

QString OrvBand::row_text(int y)
{
    audio_lock();
    const std::uint64_t completed = jobs_completed;
    audio_unlock();

    const int back = std::clamp(y * BAND_STRIP_ROWS / std::max(height(), 1), 0, BAND_STRIP_ROWS - 1);
    PitchClassPeak row[PITCH_CLASS_COUNT];
    result_lock();
    const std::uint64_t index = (completed + result_row_count - 1 - back) % result_row_count;
    std::copy_n(pitch_class_rows + index * PITCH_CLASS_COUNT, PITCH_CLASS_COUNT, row);
    result_unlock();

    // The display settings change only on this thread: no lock to read them.
    const RowNotes notes = row_notes(row, sensitivity_threshold(sensitivity), band_freq);
    if (record_flag != 0) {
        for (int i = 0; i < notes.key_count; i++)
            midi_queue_note(0, notes.keys[i], MIDI_VELOCITY, 0);
        midi_queue_pause(CHORD_MS);
        for (int i = 0; i < notes.key_count; i++)
            midi_queue_note(0, notes.keys[i], 0, 0);
        midi_queue_pause(REST_MS);
    }
    return notes.text;
}

QString OrvBand::column_name(QMouseEvent *event)
{
    return column_note_name(qRound(event->position().x()), std::max(width(), 1));
}

void OrvBand::mousePressEvent(QMouseEvent *event)
{
    switch (event->button()) {
    case Qt::LeftButton:
        spectrum->text_log->appendPlainText(row_text(qRound(event->position().y())));
        break;
    case Qt::MiddleButton:
        spectrum->text_log->appendPlainText(column_name(event));
        break;
    case Qt::RightButton:
        spectrum->text_log->appendPlainText(QString());
        break;
    default:
        break;
    }
    event->accept();
}

void OrvBand::mouseMoveEvent(QMouseEvent *event)
{
    setToolTip(column_name(event));
}

void OrvBand::paintEvent(QPaintEvent *)
{
    const double threshold = sensitivity_threshold(sensitivity);
    const int w = width();
    const int h = height();
    if (w == 0 || h == 0)
        return;

    audio_lock();
    const std::uint64_t completed = jobs_completed;
    audio_unlock();

    result_lock();
    const BandStrip strip = build_band_strip(pitch_class_rows, result_row_count, completed, threshold);
    result_unlock();

    if (record_flag != 0 && freeze_flag == 0)
        emit spectrum->handle_append_text(row_text(0));

    QPainter painter(this);
    painter.drawImage(QRect(0, 0, w, h), strip.image);
    spectrum->note_label->setText(note_readout(strip.note_band, band_freq));
}
