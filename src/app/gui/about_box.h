#pragma once
// The About box: product line, author and rights notice, build date and
// time (1001), "Version %s  (%s)" of file and product version (1000) and the
// build's comment (1002). OK ends it with 1, Escape with 2. Modal, GUI
// thread only.

#include <QDialog>
#include <map>

class QLabel;
class QPushButton;

namespace vorn {

class AboutBox : public QDialog {
    Q_OBJECT

public:
    static constexpr int kResultOk = 1;
    static constexpr int kResultCancel = 2;

    explicit AboutBox(QWidget* parent = nullptr);

    // Text line by control id (1000, 1001, 1002); null for other ids.
    QLabel* Field(int controlId) const;
    QPushButton* OkButton() const { return ok_; }

    // Escape ends the box like Cancel.
    void reject() override;

private:
    std::map<int, QLabel*> fields_;
    QPushButton* ok_ = nullptr;
};

}  // namespace vorn
