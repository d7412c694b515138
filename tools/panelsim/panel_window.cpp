#include "panel_window.h"

#include <QColor>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <string>

#include "panel_palette.h"
#include "simulator.h"

namespace vorn::sim {

namespace {

// Grid columns: eight for the text panels and the 40-lamp panel, ten for
// the 20- and 80-lamp panels.
int ColumnsFor(int buttons) { return buttons == 20 || buttons == 80 ? 10 : 8; }

QString Latin1(const std::string& text) { return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())); }

QString StyleFor(std::string_view rgb) {
    const QColor bg(QString::fromLatin1(rgb.data(), static_cast<qsizetype>(rgb.size())));
    // Dark text on light backgrounds (perceived brightness), light on dark.
    const double brightness = 0.299 * bg.red() + 0.587 * bg.green() + 0.114 * bg.blue();
    const QString fg = brightness > 150 ? "#000000" : "#ffffff";
    return QString("QPushButton { background-color: %1; color: %2; border: 1px solid #202020; padding: 4px; }"
                   "QPushButton:pressed { border: 3px solid #ffffff; }")
        .arg(bg.name(), fg);
}

}  // namespace

PanelWindow::PanelWindow(Simulator& sim, QWidget* parent) : QWidget(parent), sim_(sim) {
    setWindowTitle("panelsim");
    auto* layout = new QVBoxLayout(this);
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    for (int p = 1; p <= sim_.PanelCount(); ++p) {
        const PanelModel& model = sim_.Model(p);
        PanelView view;
        view.box = new QGroupBox(this);
        auto* boxLayout = new QVBoxLayout(view.box);
        view.status = new QLabel(view.box);
        boxLayout->addWidget(view.status);
        auto* grid = new QGridLayout;
        boxLayout->addLayout(grid);
        const int columns = ColumnsFor(model.type().buttons);
        for (int b = 1; b <= model.type().buttons; ++b) {
            auto* button = new QPushButton(view.box);
            button->setFont(fixed);
            button->setMinimumSize(model.type().lamps ? 44 : 96, 40);
            connect(button, &QPushButton::pressed, this, [this, p, b] { SendButton(p, b, true); });
            connect(button, &QPushButton::released, this, [this, p, b] { SendButton(p, b, false); });
            grid->addWidget(button, (b - 1) / columns, (b - 1) % columns);
            view.buttons.push_back(button);
            view.styles.emplace_back();
        }
        layout->addWidget(view.box);
        views_.push_back(view);
    }
    message_ = new QLabel(this);
    layout->addWidget(message_);
    for (int p = 1; p <= sim_.PanelCount(); ++p) Refresh(p);
}

void PanelWindow::Refresh(int panel) {
    if (panel < 1 || panel > static_cast<int>(views_.size())) return;
    PanelView& view = views_[static_cast<std::size_t>(panel - 1)];
    const PanelModel& model = sim_.Model(panel);
    const PanelCounts& c = model.counts();
    view.box->setTitle(QString("Panel %1: %2, id %3")
                           .arg(panel)
                           .arg(QString::fromLatin1(model.type().name.data(), model.type().name.size()))
                           .arg(model.commsId(), 2, 16, QChar('0')));
    view.status->setText(QString("%1, %2 | frames %3, polls %4, clears %5, code6 %6, foreign %7, junk bytes %8")
                             .arg(QString::fromLatin1(sim_.Transport(panel).data(), sim_.Transport(panel).size()))
                             .arg(sim_.Connected(panel) ? "connected" : "not connected")
                             .arg(c.frames)
                             .arg(c.polls)
                             .arg(c.clears)
                             .arg(c.code6)
                             .arg(c.foreign)
                             .arg(c.junkBytes));
    for (int b = 1; b <= model.type().buttons; ++b) {
        const ButtonFace* face = model.Button(b);
        QPushButton* button = view.buttons[static_cast<std::size_t>(b - 1)];
        QString text;
        std::string_view rgb;
        if (model.type().lamps) {
            text = QString::number(b);
            rgb = face->lamp ? kLampOn.rgb : kLampOff.rgb;
            button->setToolTip(QString("button %1, lamp %2").arg(b).arg(face->lamp ? "on" : "off"));
        } else {
            text = face->graphic >= 0 ? QString("#G %1").arg(face->graphic)
                   : face->text.empty() ? QString("(%1)").arg(b)
                                        : Latin1(face->text);
            const PaletteEntry& colour = PaletteFor(face->colour);
            rgb = colour.rgb;
            button->setToolTip(QString("button %1, colour %2 (%3)")
                                   .arg(b)
                                   .arg(face->colour)
                                   .arg(QString::fromLatin1(colour.name.data(), colour.name.size())));
        }
        if (button->text() != text) button->setText(text);
        const QString style = StyleFor(rgb);
        QString& last = view.styles[static_cast<std::size_t>(b - 1)];
        if (last != style) {
            button->setStyleSheet(style);
            last = style;
        }
    }
}

void PanelWindow::SendButton(int panel, int button, bool press) {
    std::string error;
    if (!sim_.SendButton(panel, press ? 1 : 0, static_cast<uint8_t>(button), false, error)) {
        message_->setText(QString("panel %1 button %2: %3").arg(panel).arg(button).arg(QString::fromStdString(error)));
    } else {
        message_->setText(QString("panel %1 button %2 %3").arg(panel).arg(button).arg(press ? "pressed" : "released"));
    }
    if (afterAction_) afterAction_();
}

}  // namespace vorn::sim
