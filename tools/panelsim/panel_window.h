#pragma once
// The --gui window: each simulated panel as a group of buttons laid out in
// a grid, showing label (or graphic number) and colour, or the lamp, as the
// driver last set them; the title line shows type, id, transport and
// whether the driver is connected. Pressing a button sends the press and
// letting it go the release. GUI thread only; reads the Simulator, writes
// to it only through SendButton.

#include <QWidget>
#include <functional>
#include <vector>

class QGroupBox;
class QLabel;
class QPushButton;

namespace vorn::sim {

class Simulator;

class PanelWindow : public QWidget {
    Q_OBJECT
public:
    explicit PanelWindow(Simulator& sim, QWidget* parent = nullptr);

    // Shows panel (1..PanelCount()) as its model now stands.
    void Refresh(int panel);

    // Called after each click was handled (the loop re-checks descriptors).
    void SetAfterAction(std::function<void()> callback) { afterAction_ = std::move(callback); }

private:
    struct PanelView {
        QGroupBox* box = nullptr;
        QLabel* status = nullptr;
        std::vector<QPushButton*> buttons;  // index 0 is button 1
        std::vector<QString> styles;        // last style set, to skip repeats
    };

    void SendButton(int panel, int button, bool press);

    Simulator& sim_;
    std::vector<PanelView> views_;  // index 0 is panel 1
    QLabel* message_ = nullptr;
    std::function<void()> afterAction_;
};

}  // namespace vorn::sim
