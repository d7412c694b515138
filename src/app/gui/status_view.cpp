#include "app/gui/status_view.h"

#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPalette>
#include <QPushButton>
#include <QTimer>

#include "core/diagnostics.h"
#include "core/driver_state.h"
#include "app/gui/panel_artwork.h"
#include "core/seam.h"
#include "app/status_logic.h"

namespace vorn {

namespace {

// The panel picture, drawn the first time the label is painted: a driver
// without a display never paints, and drawing it at start-up pulled in the
// whole raster engine (about 1 MB of resident memory) for nothing.
class ArtworkLabel : public QLabel {
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent* event) override {
        if (pixmap().isNull()) setPixmap(PanelPicture(size()));
        QLabel::paintEvent(event);
    }
};

}  // namespace

namespace {

struct Rect {
    int x, y, w, h;
};

// One value field: its control id, the caption beside it and both places.
struct FieldSpec {
    int id;
    const char* caption;  // nullptr: no caption of its own
    Rect field;
    Rect captionRect;
};

// Field rectangles are those of the dialog; the caption rectangles are
// placed beside them (left of the field, text right-aligned, wrapped onto
// two lines where the dialog leaves little width).
const FieldSpec kFields[] = {
    {kFieldDriverStatus, "Status", {36, 12, 76, 10}, {8, 12, 26, 10}},
    {kFieldVersion, "Ver", {138, 12, 46, 10}, {116, 12, 20, 10}},
    {kFieldInfoStatus, "Status", {230, 12, 80, 10}, {198, 12, 30, 10}},
    {kFieldInfoRx, "Rx:", {331, 11, 35, 10}, {313, 11, 16, 10}},
    {kFieldInfoTx, "Tx:", {386, 11, 35, 10}, {368, 11, 16, 10}},
    {kFieldIdentity, "Location", {41, 43, 71, 10}, {7, 43, 32, 10}},
    {kFieldPanelCount, "   Panels Controlled", {158, 43, 16, 10}, {114, 39, 42, 18}},
    {kFieldCommsSummary, "Panels Comms", {230, 43, 99, 10}, {176, 43, 52, 10}},
    {kFieldQueue, "Queue", {403, 43, 16, 10}, {372, 43, 29, 10}},
    {kFieldLocation, "Location", {182, 119, 116, 10}, {141, 119, 39, 10}},
    {kFieldType, "Type", {343, 119, 68, 10}, {308, 119, 33, 10}},
    {kFieldAddress, nullptr, {182, 141, 74, 12}, {0, 0, 0, 0}},
    {kFieldPanelId, "Pan  ID", {279, 141, 18, 10}, {258, 138, 19, 16}},
    {kFieldConnection, "Connection      Status", {343, 141, 68, 10}, {299, 138, 42, 16}},
    {kFieldLastButton, "Last Button    Pressed", {182, 167, 25, 10}, {139, 164, 41, 16}},
    {kFieldPanelRx, "Rx:", {235, 167, 42, 10}, {218, 167, 15, 10}},
    {kFieldPanelTx, "Tx:", {296, 167, 42, 10}, {279, 167, 15, 10}},
};

struct GroupSpec {
    const char* title;
    Rect rect;
};

const GroupSpec kGroups[] = {
    {"Driver", {3, 2, 187, 25}},
    {"Infodriver", {193, 2, 234, 25}},
    {"Overall Status", {3, 32, 424, 29}},
    {"Panels", {3, 68, 424, 130}},
};

constexpr Rect kListRect{13, 82, 115, 109};
constexpr Rect kPictureRect{141, 81, 270, 25};
constexpr Rect kAddressCaptionRect{139, 140, 31, 17};
constexpr Rect kTestButtonRect{350, 159, 59, 13};
constexpr Rect kResetButtonRect{350, 176, 59, 13};

QRect ToPixels(const Rect& r) { return StatusView::FromDialogUnits(r.x, r.y, r.w, r.h); }

}  // namespace

QRect StatusView::FromDialogUnits(int x, int y, int width, int height) {
    return QRect(x * kPixelsPerUnitX, y * kPixelsPerUnitY, width * kPixelsPerUnitX, height * kPixelsPerUnitY);
}

FieldColours StatusView::ColoursFor(int controlId) {
    using namespace status_colours;
    switch (controlId) {
        case kFieldDriverStatus:
            if (DriverStatus == 1) return {DarkBlue(), Yellow()};
            if (DriverStatus == 2) return {White(), Red()};
            return {White(), DarkGreen()};
        case kFieldInfoStatus:
            if (DriverMode == 2) return {White(), DarkGreen()};
            if (DriverMode == 1) return {White(), Red()};
            if (DriverMode == -1) return {DarkBlue(), Yellow()};
            return {DarkBlue(), White()};
        case kFieldCommsSummary:
            if (CommsSummary == 1) return {DarkBlue(), Yellow()};
            if (CommsSummary == 2) return {White(), Red()};
            return {White(), DarkGreen()};
        case kFieldVersion:
        case kFieldIdentity:
        case kFieldPanelCount:
        case kFieldQueue:
        case kFieldLocation:
        case kFieldType:
        case kFieldConnection:
        case kFieldLastButton:
        case kFieldAddress:
        case kFieldPanelId:
        case kFieldInfoRx:
        case kFieldInfoTx:
        case kFieldPanelRx:
        case kFieldPanelTx:
            return {DarkBlue(), White()};
        default:
            return {DarkBlue(), LightBlue()};
    }
}

StatusView::StatusView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("StatusView"));
    setFixedSize(kWidthUnits * kPixelsPerUnitX, kHeightUnits * kPixelsPerUnitY);
    QFont viewFont = font();
    viewFont.setPixelSize(12);
    setFont(viewFont);
    ApplyColours(this, ColoursFor(0));

    // Group boxes first, so that the controls drawn inside them lie above.
    for (const GroupSpec& g : kGroups) {
        auto* box = new QGroupBox(QString::fromLatin1(g.title), this);
        box->setGeometry(ToPixels(g.rect));
        ApplyColours(box, ColoursFor(0), false);
    }

    for (const FieldSpec& f : kFields) {
        auto* field = new QLabel(this);
        field->setObjectName(QStringLiteral("field%1").arg(f.id));
        field->setGeometry(ToPixels(f.field));
        field->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        field->setLineWidth(1);
        field->setAlignment(Qt::AlignCenter);
        // Texts from the settings file and the panels are shown as they
        // are; a label would otherwise render anything that looks like
        // markup (and load images it names).
        field->setTextFormat(Qt::PlainText);
        field->setAutoFillBackground(true);
        ApplyColours(field, ColoursFor(f.id));
        fields_[f.id] = field;
        if (f.caption != nullptr) {
            auto* caption = new QLabel(QString::fromLatin1(f.caption), this);
            caption->setGeometry(ToPixels(f.captionRect));
            caption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            caption->setWordWrap(f.captionRect.h > 12);
            ApplyColours(caption, ColoursFor(0), false);
            captions_[f.id] = caption;
        }
    }

    // Caption 1017 is written like a field but coloured like a caption.
    auto* addressCaption = new QLabel(QStringLiteral("IP Settings"), this);
    addressCaption->setObjectName(QStringLiteral("field%1").arg(kCaptionAddress));
    addressCaption->setGeometry(ToPixels(kAddressCaptionRect));
    addressCaption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    addressCaption->setTextFormat(Qt::PlainText);
    addressCaption->setWordWrap(true);
    ApplyColours(addressCaption, ColoursFor(kCaptionAddress), false);
    fields_[kCaptionAddress] = addressCaption;
    captions_[kFieldAddress] = addressCaption;

    list_ = new QListWidget(this);
    list_->setObjectName(QStringLiteral("panelList"));
    list_->setGeometry(ToPixels(kListRect));
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QPalette listPalette = list_->palette();
    listPalette.setColor(QPalette::Base, status_colours::White());
    listPalette.setColor(QPalette::Text, status_colours::DarkBlue());
    list_->setPalette(listPalette);
    // Selection changes, not current-row changes: the selection is what
    // ShowChosenPanel reads, and a mouse pick moves it after the current row.
    connect(list_, &QListWidget::itemSelectionChanged, this, [this] { OnListPicked(); });

    auto* picture = new ArtworkLabel(this);
    picture->setObjectName(QStringLiteral("panelPicture"));
    picture->setGeometry(ToPixels(kPictureRect));

    testButton_ = new QPushButton(QStringLiteral("TEST Panel"), this);
    testButton_->setGeometry(ToPixels(kTestButtonRect));
    connect(testButton_, &QPushButton::clicked, this, [] { OnTestPanelButton(); });
    resetButton_ = new QPushButton(QStringLiteral("Reset Panel"), this);
    resetButton_->setGeometry(ToPixels(kResetButtonRect));
    connect(resetButton_, &QPushButton::clicked, this, [] { OnResetPanelButton(); });

    RefreshStateColours();
}

void StatusView::ApplyColours(QWidget* widget, const FieldColours& colours, bool fill) {
    QPalette palette = widget->palette();
    if (palette.color(QPalette::Window) == colours.background &&
        palette.color(QPalette::WindowText) == colours.text && widget->autoFillBackground() == fill) {
        return;  // unchanged: no repaint
    }
    palette.setColor(QPalette::Window, colours.background);
    palette.setColor(QPalette::WindowText, colours.text);
    widget->setPalette(palette);
    widget->setAutoFillBackground(fill);
}

void StatusView::RefreshStateColours() {
    for (int id : {kFieldDriverStatus, kFieldInfoStatus, kFieldCommsSummary}) {
        ApplyColours(fields_.at(id), ColoursFor(id));
    }
}

void StatusView::SetFieldText(int controlId, const QString& text) {
    auto it = fields_.find(controlId);
    if (it == fields_.end()) {
        DebugMessage("StatusView - no field with id %d, text dropped ", controlId);
        return;
    }
    // The state fields change rarely and their colours change with them
    // (below, at once): their texts are shown at once too, so that a text
    // never stands in the colour of another state.
    const bool stateField =
        controlId == kFieldDriverStatus || controlId == kFieldInfoStatus || controlId == kFieldCommsSummary;
    auto pending = pending_.find(controlId);
    if (stateField) {
        if (pending != pending_.end()) pending_.erase(pending);
        if (it->second->text() != text) it->second->setText(text);
    } else if (pending != pending_.end()) {
        pending->second = text;
    } else if (it->second->text() != text) {
        pending_.emplace(controlId, text);
        if (!flushScheduled_) {
            flushScheduled_ = true;
            QTimer::singleShot(kFieldRefreshMs, this, [this] { FlushFieldTexts(); });
        }
    }
    RefreshStateColours();  // cheap: a palette changes only with the state
}

void StatusView::FlushFieldTexts() {
    flushScheduled_ = false;
    std::map<int, QString> texts;
    texts.swap(pending_);
    for (auto& [id, text] : texts) fields_.at(id)->setText(text);
}

QString StatusView::FieldText(int controlId) const {
    if (auto pending = pending_.find(controlId); pending != pending_.end()) return pending->second;
    auto it = fields_.find(controlId);
    return it == fields_.end() ? QString() : it->second->text();
}

void StatusView::AddPanelLine(const QString& line) { list_->addItem(line); }

void StatusView::ClearPanelLines() {
    const QSignalBlocker block(list_);
    list_->clear();
    list_->viewport()->update();
}

void StatusView::SelectPanelLine(int line) {
    // The program's own selection is not a pick by the operator.
    const QSignalBlocker block(list_);
    if (line >= 0 && line < list_->count()) {
        list_->setCurrentRow(line, QItemSelectionModel::ClearAndSelect);
    } else {
        list_->clearSelection();
        list_->setCurrentRow(-1);
    }
    list_->viewport()->update();
}

int StatusView::SelectedPanelLine() const {
    const QList<QListWidgetItem*> selected = list_->selectedItems();
    return selected.isEmpty() ? -1 : list_->row(selected.first());
}

QWidget* StatusView::Control(int controlId) const {
    if (controlId == kListPanels) return list_;
    if (controlId == kButtonReset) return resetButton_;
    if (controlId == kButtonTest) return testButton_;
    auto it = fields_.find(controlId);
    return it == fields_.end() ? nullptr : it->second;
}

QLabel* StatusView::Field(int controlId) {
    if (!pending_.empty()) FlushFieldTexts();
    auto it = fields_.find(controlId);
    return it == fields_.end() ? nullptr : it->second;
}

QLabel* StatusView::CaptionOf(int controlId) const {
    auto it = captions_.find(controlId);
    return it == captions_.end() ? nullptr : it->second;
}

void StatusView::OnListPicked() { OnPanelListCommand(); }

}  // namespace vorn
