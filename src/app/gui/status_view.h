#pragma once
// The status view: driver, Infodriver and communications state in coloured
// fields, the list of configured panels and the chosen panel's details with
// the "Reset Panel" and "TEST Panel" buttons. Every control is found by its
// control id (seam.h); positions come from dialog units, 2 x 2 pixels each.
// GUI thread only.

#include <QColor>
#include <QRect>
#include <QString>
#include <QWidget>
#include <map>

class QLabel;
class QListWidget;
class QPushButton;

namespace vorn {

// Colours of the status view.
namespace status_colours {
inline QColor DarkBlue() { return QColor(0, 0, 84); }
inline QColor White() { return QColor(255, 255, 255); }
inline QColor LightBlue() { return QColor(212, 235, 255); }
inline QColor Yellow() { return QColor(255, 255, 0); }
inline QColor Red() { return QColor(255, 0, 0); }
inline QColor DarkGreen() { return QColor(0, 127, 0); }
}  // namespace status_colours

struct FieldColours {
    QColor text;
    QColor background;
};

class StatusView : public QWidget {
    Q_OBJECT

public:
    // Size of the view in dialog units and the pixels per unit.
    static constexpr int kWidthUnits = 430;
    static constexpr int kHeightUnits = 204;
    static constexpr int kPixelsPerUnitX = 2;
    static constexpr int kPixelsPerUnitY = 2;
    static QRect FromDialogUnits(int x, int y, int width, int height);

    explicit StatusView(QWidget* parent = nullptr);

    // Colours of a control by the rules of the view: the three state fields
    // follow DriverStatus (2010), DriverMode (2005) and CommsSummary (1004);
    // the other value fields are dark blue on white; captions and the
    // background dark blue on light blue.
    static FieldColours ColoursFor(int controlId);

    // Text of a value field or of caption 1017. An id without such a
    // control is logged and ignored. The state colours are re-read after
    // every write, since the state values change together with the texts.
    // A new text of the other fields is shown within kFieldRefreshMs: writes
    // in between are gathered and shown together, so a stream of slot
    // changes or presses (each writing the counters) costs one repaint per
    // interval, not one per change; the state fields (2010, 2005, 1004) are
    // shown at once with their colours. FieldText answers the newest text.
    void SetFieldText(int controlId, const QString& text);
    QString FieldText(int controlId) const;
    // Shows the texts written since the last refresh now.
    void FlushFieldTexts();
    static constexpr int kFieldRefreshMs = 50;
    // Re-reads DriverStatus, DriverMode and CommsSummary into the colours
    // of 2010, 2005 and 1004.
    void RefreshStateColours();

    // Panel list 1006. Selecting from the program does not count as the
    // operator's pick (no ShowChosenPanel); -1 or a line beyond the list
    // clears the selection.
    void AddPanelLine(const QString& line);
    // Empties the list (a reload rebuilds it); not an operator's pick either.
    void ClearPanelLines();
    void SelectPanelLine(int line);
    int SelectedPanelLine() const;

    // Any control by id (fields, caption 1017, list 1006, buttons 1014 and
    // 1016); null for unknown ids. Field() shows pending texts first.
    QWidget* Control(int controlId) const;
    QLabel* Field(int controlId);
    QListWidget* PanelList() const { return list_; }
    // The caption placed beside a field (null for fields without one).
    QLabel* CaptionOf(int controlId) const;

private:
    void OnListPicked();
    // fill: paint the background (value fields, the view); captions and
    // group boxes only carry the colours and let the view show through.
    void ApplyColours(QWidget* widget, const FieldColours& colours, bool fill = true);

    std::map<int, QLabel*> fields_;
    // Texts written but not shown yet (at most one per field), and whether
    // the refresh that shows them is scheduled.
    std::map<int, QString> pending_;
    bool flushScheduled_ = false;
    std::map<int, QLabel*> captions_;
    QListWidget* list_ = nullptr;
    QPushButton* resetButton_ = nullptr;
    QPushButton* testButton_ = nullptr;
};

}  // namespace vorn
