#include "TandrelApp/Mixer/LineVolumeLinkLabel.h"

#include <QHBoxLayout>

#include "TandrelApp/Mixer/ElidedLabel.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Support/GlyphView.h"
#include "TandrelApp/Support/PlainText.h"

LineVolumeLinkLabel::LineVolumeLinkLabel(RoutingController& controller, Theme::Metrics metrics,
                                         QWidget* parent)
    : QWidget(parent)
    , controller_(controller)
    , glyph_(new GlyphView({"link", ColorRole::secondary}, metrics.size(11, 11)))
    , text_(new ElidedLabel(Qt::ElideRight)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(metrics.px(4));
    text_->setFont(metrics.font(TextStyle::caption2));
    // It stands last in a row header, which has to hold it within the row's height.
    text_->setCompactLine(true);
    layout->addWidget(glyph_, 0, Qt::AlignVCenter);
    layout->addWidget(text_, 1, Qt::AlignVCenter);
}

void LineVolumeLinkLabel::display(const AudioDeviceInfo& line) {
    std::vector<std::string> partners;
    for (const auto& device : controller_.volumePartners(line.uid)) {
        partners.push_back(device.name);
    }
    link_ = LineVolumeModel::link(line.name, controller_.config().unlinkedLineVolumes.contains(line.uid),
                                  partners);
    glyph_->setGlyph(link_.glyph);
    text_->setText(QString::fromStdString(link_.text));
    text_->setColorRole(link_.color);
    setToolTip(PlainText::toolTip(link_.tooltip));
}
