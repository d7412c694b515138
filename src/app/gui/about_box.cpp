#include "app/gui/about_box.h"

#include <QLabel>
#include <QPushButton>

#include "app/gui/panel_artwork.h"
#include "app/gui/status_view.h"
#include "core/version_info.h"

namespace vorn {

namespace {

constexpr int kAboutVersion = 1000;
constexpr int kAboutBuild = 1001;
constexpr int kAboutComments = 1002;

QLabel* AddLine(QWidget* parent, const QString& text, int x, int y, int w, int h) {
    auto* label = new QLabel(text, parent);
    label->setGeometry(StatusView::FromDialogUnits(x, y, w, h));
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return label;
}

}  // namespace

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About"));
    setModal(true);
    setFixedSize(StatusView::FromDialogUnits(0, 0, 244, 76).size());
    QFont boxFont = font();
    boxFont.setPixelSize(11);
    setFont(boxFont);

    auto* icon = new QLabel(this);
    icon->setPixmap(DriverIconPixmap(32));
    icon->setGeometry(StatusView::FromDialogUnits(14, 9, 16, 16));

    AddLine(this, QStringLiteral("VORN Driver for All Pellax Ethernet Panels"), 50, 5, 185, 8);
    AddLine(this, QStringLiteral("Linux build by the VORN panel driver team"), 50, 16, 187, 8);
    AddLine(this, QStringLiteral("Copyright (C) VORN control system. All rights reserved."), 50, 27, 187, 8);
    fields_[kAboutBuild] = AddLine(this, QString::fromStdString(BuildStampText()), 50, 38, 187, 8);
    fields_[kAboutVersion] = AddLine(this, QString::fromStdString(AboutVersionLine()), 50, 49, 187, 8);
    fields_[kAboutComments] = AddLine(this, QString::fromUtf8(CommentsText()), 50, 60, 187, 8);

    ok_ = new QPushButton(QStringLiteral("OK"), this);
    ok_->setGeometry(StatusView::FromDialogUnits(6, 59, 30, 11));
    ok_->setDefault(true);
    ok_->setAutoDefault(true);
    connect(ok_, &QPushButton::clicked, this, [this] { done(kResultOk); });
}

QLabel* AboutBox::Field(int controlId) const {
    auto it = fields_.find(controlId);
    return it == fields_.end() ? nullptr : it->second;
}

void AboutBox::reject() { done(kResultCancel); }

}  // namespace vorn
