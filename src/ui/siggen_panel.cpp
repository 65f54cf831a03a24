#include "ui/siggen_panel.h"
#include "ui/child_connections.h"

#include "audio/block_assembler.h"
#include "engine/engine.h"
#include "siggen/filter_design.h"
#include "siggen/generator.h"
#include "ui/button_map.h"
#include "ui/push_button.h"

#include <QGridLayout>
#include <QKeyEvent>
#include <QScrollBar>

#include <cmath>
#include <utility>

namespace {

// Title and labels as the button map reads them: NUL-separated fields.
const char MAIN_INPUT_NAMES[] =
    "Main input channel\0INPUT 0\0INPUT 1\0INPUT 0+1\0OUTPUT 0\0OUTPUT 1\0OUTPUT 0+1";
const char CORR_INPUT_NAMES[] =
    "Correlation input channel\0INPUT 0\0INPUT 1\0INPUT 0+1\0OUTPUT 0\0OUTPUT 1\0OUTPUT 0+1";
const char OUTPUT_0_NAMES[] =
    "Output for channel 0\0SILENCE\0BROWN NOISE\0WHITE NOISE\0BROWN NOISE BP\0WHITE NOISE BP\0COSINUS";
const char OUTPUT_1_NAMES[] =
    "Output for channel 1\0SILENCE\0BROWN NOISE\0WHITE NOISE\0BROWN NOISE BP\0WHITE NOISE BP\0COSINUS";
constexpr int MAP_BUTTONS = 6;
constexpr int MAP_COLUMNS = 3;

constexpr int INITIAL_WIDTH_HZ = 20;
constexpr int LEVEL_LIMIT = 256;          // amplitude factor 2^-16 .. 2^16
constexpr int INITIAL_LEVEL = -64;        // 2^-4, -24.1 dB

// The style gives a scroll bar neither the keyboard focus nor a mark of it:
// this one takes Tab and clicks, moves with the arrow and page keys as a
// slider does, and is framed while focused.
class KeyboardScrollBar : public QScrollBar {
public:
    explicit KeyboardScrollBar(Qt::Orientation orientation)
        : QScrollBar(orientation)
    {
        setFocusPolicy(Qt::StrongFocus);
    }

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QScrollBar::paintEvent(event);
        draw_focus_frame(*this);
    }

    // A scroll bar inverts its keys for vertical use, which sends Right and
    // Page Up to smaller values; the mouse wheel keeps its own direction.
    void keyPressEvent(QKeyEvent *event) override
    {
        switch (event->key()) {
        case Qt::Key_Right:
        case Qt::Key_Up:
            triggerAction(SliderSingleStepAdd);
            break;
        case Qt::Key_Left:
        case Qt::Key_Down:
            triggerAction(SliderSingleStepSub);
            break;
        case Qt::Key_PageUp:
            triggerAction(SliderPageStepAdd);
            break;
        case Qt::Key_PageDown:
            triggerAction(SliderPageStepSub);
            break;
        default:
            QScrollBar::keyPressEvent(event);
            return;
        }
        event->accept();
    }
};

// Fill box with its grid and a horizontal scroll bar at value. The value is
// set before the scroll bar is connected, so building emits nothing.
template <typename Box>
void build_slider(Box *box, QScrollBar *&scroll_bar, QGridLayout *&box_grid, int minimum, int maximum, int value)
{
    box_grid = new QGridLayout(box);
    scroll_bar = new KeyboardScrollBar(Qt::Horizontal);
    scroll_bar->setRange(minimum, maximum);
    scroll_bar->setSingleStep(1);
    scroll_bar->setValue(value);
    QObject::connect(scroll_bar, &QScrollBar::valueChanged, box, &Box::handle_value_changed);
    box_grid->addWidget(scroll_bar, 0, 0, 1, 1);
}

}  // namespace

double level_decibels(int level)
{
    // Tenths of a decibel, rounded down: -256 shows -96.4, not -96.3.
    const double factor = std::pow(2.0, level / LEVEL_STEPS_PER_OCTAVE);
    return std::floor(200.0 * std::log(factor) / std::log(10.0)) / 10.0;
}

OrvBandPassBox::OrvBandPassBox(int rate)
    : QGroupBox()
{
    const int initial = rate / 4;
    setTitle(title_text(initial));
    build_slider(this, scroll_bar, box_grid, 1, rate / 2, initial);
}

QString OrvBandPassBox::title_text(int value)
{
    return tr("Center frequency :: %1 Hz").arg(value);
}

void OrvBandPassBox::handle_value_changed(int value)
{
    setTitle(title_text(value));
    emit valueChanged(value);
}

OrvBandWidthBox::OrvBandWidthBox(int rate)
    : QGroupBox()
{
    setTitle(title_text(INITIAL_WIDTH_HZ));
    build_slider(this, scroll_bar, box_grid, 1, rate, INITIAL_WIDTH_HZ);
}

QString OrvBandWidthBox::title_text(int value)
{
    return tr("Band width :: %1 Hz").arg(value);
}

void OrvBandWidthBox::handle_value_changed(int value)
{
    setTitle(title_text(value));
    emit valueChanged(value);
}

OrvNoiselevelBox::OrvNoiselevelBox()
    : QGroupBox()
{
    setTitle(title_text(INITIAL_LEVEL));
    build_slider(this, scroll_bar, box_grid, -LEVEL_LIMIT, LEVEL_LIMIT, INITIAL_LEVEL);
}

QString OrvNoiselevelBox::title_text(int value)
{
    return tr("Signal level :: %1dB").arg(level_decibels(value));
}

void OrvNoiselevelBox::handle_value_changed(int value)
{
    setTitle(title_text(value));
    emit valueChanged(value);
}

OrvSigGen::OrvSigGen(Engine &engine, Generator &generator)
    : QWidget(), engine_(engine), generator_(generator)
{
    page_grid = new QGridLayout(this);

    main_input_map = new OrvButtonMap(MAIN_INPUT_NAMES, MAP_BUTTONS, MAP_COLUMNS);
    corr_input_map = new OrvButtonMap(CORR_INPUT_NAMES, MAP_BUTTONS, MAP_COLUMNS);
    output_0_map = new OrvButtonMap(OUTPUT_0_NAMES, MAP_BUTTONS, MAP_COLUMNS);
    output_1_map = new OrvButtonMap(OUTPUT_1_NAMES, MAP_BUTTONS, MAP_COLUMNS);

    band_pass_box = new OrvBandPassBox(engine_.sample_rate());
    band_width_box = new OrvBandWidthBox(engine_.sample_rate());
    level_box = new OrvNoiselevelBox();

    // The generator starts after the page is built and must find its
    // parameters set; the slider boxes emitted nothing to set them.
    handle_filter_0(0);

    connect(main_input_map, &OrvButtonMap::selectionChanged, this, &OrvSigGen::handle_source_0);
    connect(corr_input_map, &OrvButtonMap::selectionChanged, this, &OrvSigGen::handle_source_1);
    connect(output_0_map, &OrvButtonMap::selectionChanged, this, &OrvSigGen::handle_output_0);
    connect(output_1_map, &OrvButtonMap::selectionChanged, this, &OrvSigGen::handle_output_1);
    connect(band_pass_box, &OrvBandPassBox::valueChanged, this, &OrvSigGen::handle_filter_0);
    connect(band_width_box, &OrvBandWidthBox::valueChanged, this, &OrvSigGen::handle_filter_0);
    connect(level_box, &OrvNoiselevelBox::valueChanged, this, &OrvSigGen::handle_filter_0);

    page_grid->addWidget(main_input_map, 0, 0, 1, 1);
    page_grid->addWidget(corr_input_map, 1, 0, 1, 1);
    page_grid->addWidget(output_0_map, 2, 0, 1, 1);
    page_grid->addWidget(output_1_map, 3, 0, 1, 1);
    page_grid->addWidget(band_pass_box, 0, 1, 1, 1);
    page_grid->addWidget(band_width_box, 1, 1, 1, 1);
    page_grid->addWidget(level_box, 2, 1, 1, 1);
    // The controls keep their natural height; the free space goes below.
    page_grid->setRowStretch(4, 1);
    page_grid->setColumnStretch(0, 1);
    page_grid->setColumnStretch(1, 1);
}

SigGenKept OrvSigGen::kept_state() const
{
    return {main_input_map->selection,          corr_input_map->selection,
            output_0_map->selection,            output_1_map->selection,
            band_pass_box->scroll_bar->value(), band_width_box->scroll_bar->value(),
            level_box->scroll_bar->value()};
}

void OrvSigGen::restore_state(const SigGenKept &kept)
{
    const std::pair<OrvButtonMap *, std::optional<int>> maps[] = {
        {main_input_map, kept.main_input},
        {corr_input_map, kept.corr_input},
        {output_0_map, kept.output_0},
        {output_1_map, kept.output_1},
    };
    for (const auto &[map, index] : maps) {
        if (index && *index >= 0 && *index < map->button_count)
            map->handle_released(*index);
    }
    const std::pair<QScrollBar *, std::optional<int>> sliders[] = {
        {band_pass_box->scroll_bar, kept.centre_hz},
        {band_width_box->scroll_bar, kept.width_hz},
        {level_box->scroll_bar, kept.level},
    };
    for (const auto &[bar, value] : sliders) {
        if (value)
            bar->setValue(*value);
    }
}

void OrvSigGen::handle_source_0(int channel)
{
    engine_.set_main_channel(channel);
}

void OrvSigGen::handle_source_1(int channel)
{
    engine_.set_corr_channel(channel);
}

void OrvSigGen::handle_output_0(int source)
{
    generator_.set_output_source(0, source);
}

void OrvSigGen::handle_output_1(int source)
{
    generator_.set_output_source(1, source);
}

void OrvSigGen::handle_filter_0(int)
{
    apply_filter_design(generator_, band_pass_box->scroll_bar->value(), band_width_box->scroll_bar->value(),
                        level_box->scroll_bar->value(), engine_.sample_rate());
}

OrvSigGen::~OrvSigGen()
{
    disconnect_children(this);
}
