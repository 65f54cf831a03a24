#include "ui/tuner_panel.h"
#include "ui/child_connections.h"

#include "engine/engine.h"
#include "engine/scala_file.h"
#include "ui/view_accessible.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>

#include <cmath>

namespace {

constexpr const char *SCALA_OPTION = "scala";
constexpr double REFERENCE_STEP_HZ = 0.1;
constexpr double GATE_STEP_DB = 1.0;
constexpr double ZONE_STEP_CENTS = 0.5;
// Screen readers hear a changed reading at most this often, not every frame.
constexpr int ANNOUNCE_TICKS = 1000 / TUNER_TICK_MS;

// A4 for a fine tuning, as the reference box shows it: to 0.1 Hz.
double shown_reference(double a4_hz)
{
    return std::round(a4_hz / REFERENCE_STEP_HZ) * REFERENCE_STEP_HZ;
}

QString steadiness_text(int rows)
{
    return rows == 1 ? QObject::tr("Steadiness: 1 row (fastest)") : QObject::tr("Steadiness: median of %1 rows").arg(rows);
}

// A caption for control, which it names for the keyboard and screen readers.
QLabel *caption(const QString &text, QWidget *control, const QString &name)
{
    auto *label = new QLabel(text);
    label->setBuddy(control);
    control->setAccessibleName(name);
    return label;
}

// A box for one of the page's numbers: its range, decimals and step, the
// unit after it, and the value it starts at.
QDoubleSpinBox *number_box(double lowest, double highest, int decimals, double step, const QString &unit, double value)
{
    auto *box = new QDoubleSpinBox();
    box->setRange(lowest, highest);
    box->setDecimals(decimals);
    box->setSingleStep(step);
    box->setSuffix(unit);
    box->setValue(value);
    return box;
}

}  // namespace

OrvTuner::OrvTuner(Engine &engine) : QWidget(), engine_(engine)
{
    view = new OrvTunerView();
    grid = new QGridLayout(this);

    make_controls();
    lay_out();

    tick = new QTimer(this);
    tick->setInterval(TUNER_TICK_MS);
    connect(tick, &QTimer::timeout, this, &OrvTuner::handle_tick);
}

void OrvTuner::make_controls()
{
    reference_box = number_box(MIN_REFERENCE_A4_HZ, MAX_REFERENCE_A4_HZ, 1, REFERENCE_STEP_HZ, tr(" Hz"),
                               shown_reference(engine_.reference_a4()));
    connect(reference_box, &QDoubleSpinBox::valueChanged, this, &OrvTuner::handle_reference);

    transposition_box = new QComboBox();
    for (const Transposition &t : TRANSPOSITIONS)
        transposition_box->addItem(QString::fromUtf8(t.title));
    connect(transposition_box, &QComboBox::currentIndexChanged, this, &OrvTuner::handle_transposition);

    temperament_box = new QComboBox();
    for (const TemperamentName &t : TEMPERAMENT_NAMES)
        temperament_box->addItem(QString::fromUtf8(t.title));
    temperament_box->addItem(tr("Scala file\u2026"));
    // Activated, not changed: choosing the Scala entry again asks for
    // another file.
    connect(temperament_box, &QComboBox::activated, this, &OrvTuner::handle_temperament);

    tonic_box = new QComboBox();
    for (int c = 0; c < PITCH_CLASS_COUNT; c++)
        tonic_box->addItem(tonic_name(c));
    connect(tonic_box, &QComboBox::currentIndexChanged, this, &OrvTuner::handle_tonic);

    scala_label = new QLabel();
    scala_label->setWordWrap(true);
    scala_label->setAccessibleName(tr("Scala file"));
    scala_label->setTextInteractionFlags(Qt::TextSelectableByMouse);

    steadiness_slider = new QSlider(Qt::Horizontal);
    steadiness_slider->setRange(MIN_STEADINESS, MAX_STEADINESS);
    steadiness_slider->setValue(settings_.steadiness);
    steadiness_slider->setPageStep(2);
    connect(steadiness_slider, &QSlider::valueChanged, this, &OrvTuner::handle_steadiness);

    gate_box = number_box(MIN_GATE_DBFS, MAX_GATE_DBFS, 0, GATE_STEP_DB, tr(" dBFS"), settings_.gate_dbfs);
    connect(gate_box, &QDoubleSpinBox::valueChanged, this, &OrvTuner::handle_gate);

    zone_box = number_box(MIN_IN_TUNE_CENTS, MAX_IN_TUNE_CENTS, 1, ZONE_STEP_CENTS, tr(" cents"), settings_.in_tune_cents);
    zone_box->setPrefix(tr("\u00b1"));
    connect(zone_box, &QDoubleSpinBox::valueChanged, this, &OrvTuner::handle_zone);
}

void OrvTuner::lay_out()
{
    auto *naming = new QLabel(tr("Names in scientific pitch: A4 = 440 Hz is MIDI key 69 (A5 on the spectrum page)."));
    naming->setWordWrap(true);

    auto *steadiness_label = caption(steadiness_text(settings_.steadiness), steadiness_slider, tr("Steadiness"));
    steadiness_label->setObjectName(QStringLiteral("steadiness_label"));
    connect(steadiness_slider, &QSlider::valueChanged, steadiness_label,
            [steadiness_label](int rows) { steadiness_label->setText(steadiness_text(rows)); });

    auto *settings_column = new QGridLayout();
    int row = 0;
    const auto add = [&](QWidget *label, QWidget *control) {
        settings_column->addWidget(label, row++, 0);
        settings_column->addWidget(control, row++, 0);
    };
    add(caption(tr("&Reference A4"), reference_box, tr("Reference A4")), reference_box);
    add(caption(tr("T&ransposition"), transposition_box, tr("Transposition")), transposition_box);
    add(caption(tr("T&emperament"), temperament_box, tr("Temperament")), temperament_box);
    settings_column->addWidget(scala_label, row++, 0);
    add(caption(tr("T&onic"), tonic_box, tr("Tonic")), tonic_box);
    add(steadiness_label, steadiness_slider);
    add(caption(tr("&Level gate"), gate_box, tr("Level gate")), gate_box);
    add(caption(tr("&In-tune zone"), zone_box, tr("In-tune zone")), zone_box);
    settings_column->addWidget(naming, row++, 0);
    settings_column->setRowStretch(row, 1);

    grid->addWidget(view, 0, 0);
    grid->addLayout(settings_column, 0, 1);
    grid->setColumnStretch(0, 1);

    // The keyboard goes through the settings top to bottom.
    QWidget *order[] = {reference_box, transposition_box, temperament_box, tonic_box,
                        steadiness_slider, gate_box, zone_box};
    for (std::size_t i = 1; i < std::size(order); i++)
        setTabOrder(order[i - 1], order[i]);
}

QString OrvTuner::temperament_option() const
{
    if (temperament_in_use_ == SCALA_ENTRY)
        return QLatin1String(SCALA_OPTION);
    return QLatin1String(TEMPERAMENT_NAMES[temperament_in_use_].option);
}

bool OrvTuner::select_temperament_option(const QString &option, const QString &scala_file)
{
    if (option == QLatin1String(SCALA_OPTION))
        return choose_scala_file(scala_file);
    for (int i = 0; i < TEMPERAMENT_COUNT; i++) {
        if (option == QLatin1String(TEMPERAMENT_NAMES[i].option)) {
            temperament_box->setCurrentIndex(i);
            handle_temperament();
            return true;
        }
    }
    return false;
}

bool OrvTuner::choose_scala_file(const QString &path)
{
    QString error;
    const std::optional<ScalaScale> scala = read_scala_file(path, &error);
    if (!scala) {
        scala_label->setStyleSheet(QStringLiteral("color: #c01010"));
        scala_label->setText(error);
        show_temperament_in_use();
        return false;
    }
    settings_.tuning.use(scala->scale);
    temperament_in_use_ = SCALA_ENTRY;
    scala_path_ = path;
    show_temperament_in_use();
    scala_label->setStyleSheet(QString());
    const QString name = QFileInfo(path).fileName();
    scala_label->setText(scala->description.isEmpty() ? name : QStringLiteral("%1: %2").arg(name, scala->description));
    scala_label->setToolTip(path);
    return true;
}

void OrvTuner::share_reference_with(QSpinBox *fine_tuning_box)
{
    connect(reference_box, &QDoubleSpinBox::valueChanged, fine_tuning_box, [fine_tuning_box](double hz) {
        const QSignalBlocker quiet(fine_tuning_box);
        fine_tuning_box->setValue(fine_tuning_for_reference(hz));
    });
    connect(fine_tuning_box, &QSpinBox::valueChanged, reference_box, [this](int thousandths) {
        const QSignalBlocker quiet(reference_box);
        reference_box->setValue(shown_reference(reference_for_fine_tuning(thousandths)));
    });
}

bool OrvTuner::reference_set_in_hz() const
{
    // 440 * (hz / 440) may differ from hz in its last bit.
    return std::abs(engine_.reference_a4() - reference_box->value()) < 1e-9;
}

TunerKept OrvTuner::kept_state() const
{
    TunerKept kept;
    if (reference_set_in_hz())
        kept.reference_a4 = reference_box->value();
    kept.transposition = transposition_box->currentIndex();
    kept.tonic = tonic_box->currentIndex();
    kept.temperament = temperament_option();
    kept.scala_file = scala_path_;
    kept.steadiness = steadiness_slider->value();
    kept.gate_dbfs = gate_box->value();
    kept.in_tune_cents = zone_box->value();
    return kept;
}

namespace {

void select_entry(QComboBox *box, const std::optional<int> &index)
{
    if (index && *index >= 0 && *index < box->count())
        box->setCurrentIndex(*index);
}

}  // namespace

void OrvTuner::restore_state(const TunerKept &kept)
{
    if (kept.reference_a4) {
        reference_box->setValue(*kept.reference_a4);
        // The box may show it already, rounded from the fine tuning, and
        // then tells nobody.
        handle_reference();
    }
    select_entry(transposition_box, kept.transposition);
    select_entry(tonic_box, kept.tonic);
    if (!kept.temperament.isEmpty())
        select_temperament_option(kept.temperament, kept.scala_file);
    if (kept.steadiness)
        steadiness_slider->setValue(*kept.steadiness);
    if (kept.gate_dbfs)
        gate_box->setValue(*kept.gate_dbfs);
    if (kept.in_tune_cents)
        zone_box->setValue(*kept.in_tune_cents);
}

void OrvTuner::show_temperament_in_use()
{
    const QSignalBlocker quiet(temperament_box);
    temperament_box->setCurrentIndex(temperament_in_use_);
}

void OrvTuner::handle_tick()
{
    FundamentalReading rows[MAX_STEADINESS];
    int count = 0;
    double level = -HUGE_VAL;
    const int wanted = settings_.steadiness;
    engine_.read_results([&](const ResultView &results) {
        level = input_level_dbfs(results.input_history, results.input_history_length, results.input_history_next);
        for (std::uint64_t back = 0; count < wanted && back < results.completed; back++) {
            const std::uint64_t seq = results.job_back(back);
            // A row given up has no reading: counted as none, never skipped
            // to an older one.
            rows[count++] = results.row_final(seq) ? results.fundamental(seq) : FundamentalReading{};
        }
    });
    const TunerReading reading = tuner_reading(rows, count, level, settings_);
    const double seconds = since_tick_.isValid() ? since_tick_.restart() / 1000.0 : 0.0;
    if (!since_tick_.isValid())
        since_tick_.start();
    strobe_phase_ = strobe_advance(strobe_phase_, strobe_speed(reading), seconds);
    view->show_reading(reading, settings_.in_tune_cents, strobe_phase_);

    if (++ticks_ % ANNOUNCE_TICKS == 0)
        announce_shown_text(view, view_shown_text<OrvTunerView>, view->announced_text);
}

void OrvTuner::handle_reference()
{
    engine_.set_reference_a4(reference_box->value());
}

void OrvTuner::handle_transposition()
{
    settings_.written = TRANSPOSITIONS[std::max(transposition_box->currentIndex(), 0)].written;
}

void OrvTuner::handle_temperament()
{
    const int index = temperament_box->currentIndex();
    if (index == SCALA_ENTRY) {
        const QString path = QFileDialog::getOpenFileName(this, tr("Scala file"), QFileInfo(scala_path_).path(),
                                                          tr("Scala scales (*.scl);;All files (*)"));
        if (path.isEmpty())
            show_temperament_in_use();
        else
            choose_scala_file(path);
        return;
    }
    if (index < 0)
        return;
    settings_.tuning.use(TEMPERAMENT_NAMES[index].temperament);
    temperament_in_use_ = index;
    scala_path_.clear();
    scala_label->setStyleSheet(QString());
    scala_label->clear();
    scala_label->setToolTip(QString());
}

void OrvTuner::handle_tonic()
{
    settings_.tuning.tonic = std::max(tonic_box->currentIndex(), 0);
}

void OrvTuner::handle_steadiness()
{
    settings_.steadiness = steadiness_slider->value();
}

void OrvTuner::handle_gate()
{
    settings_.gate_dbfs = gate_box->value();
}

void OrvTuner::handle_zone()
{
    settings_.in_tune_cents = zone_box->value();
}

void OrvTuner::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    since_tick_.invalidate();
    handle_tick();
    tick->start();
}

void OrvTuner::hideEvent(QHideEvent *event)
{
    tick->stop();
    QWidget::hideEvent(event);
}

OrvTuner::~OrvTuner()
{
    disconnect_children(this);
}
