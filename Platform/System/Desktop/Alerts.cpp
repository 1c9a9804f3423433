#include "Platform/System/Desktop/Alerts.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTextDocument>

namespace {

Alerts* replacement = nullptr;

constexpr const char* buttonIndexProperty = "alertButtonIndex";

// Alerts show what others wrote (a feed's release notes, a tool's output, names of applications and
// devices): as it stands, never as markup, links or keyboard shortcuts.
QString plain(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

QString plainControlText(const std::string& utf8) {
    return plain(utf8).replace(QLatin1Char('&'), QStringLiteral("&&"));
}

QMessageBox::ButtonRole roleOf(const AlertSpec::Button& button, std::size_t index) {
    if (button.cancels) {
        return QMessageBox::RejectRole;
    }
    if (index == 0) {
        return button.destructive ? QMessageBox::DestructiveRole : QMessageBox::AcceptRole;
    }
    return QMessageBox::ActionRole;
}

void setIcon(QMessageBox& box, AlertSpec::Style style) {
    switch (style) {
    case AlertSpec::Style::warning:
        box.setIcon(QMessageBox::Warning);
        return;
    case AlertSpec::Style::critical:
        box.setIcon(QMessageBox::Critical);
        return;
    case AlertSpec::Style::informational:
        break;
    }
    if (const QIcon icon = QApplication::windowIcon(); !icon.isNull()) {
        box.setIconPixmap(icon.pixmap(64, 64));
    }
}

} // namespace

Alerts& Alerts::shared() {
    static MessageBoxAlerts messageBoxes;
    return replacement != nullptr ? *replacement : messageBoxes;
}

void Alerts::setShared(Alerts* alerts) {
    replacement = alerts;
}

std::unique_ptr<QMessageBox> MessageBoxAlerts::messageBox(const AlertSpec& alert) {
    auto box = std::make_unique<QMessageBox>();
    box->setWindowTitle(QApplication::applicationDisplayName());
    setIcon(*box, alert.style);
    box->setTextFormat(Qt::PlainText);
    box->setText(plain(alert.message));
    box->setInformativeText(plain(alert.informativeText));
    // The box gives its explanation no format of its own, which would then show markup, and lets both
    // labels open links.
    for (const char* name : {"qt_msgbox_label", "qt_msgbox_informativelabel"}) {
        if (auto* label = box->findChild<QLabel*>(QLatin1String(name))) {
            label->setTextFormat(Qt::PlainText);
            label->setOpenExternalLinks(false);
        }
    }
    std::vector<AlertSpec::Button> buttons = alert.buttons;
    if (buttons.empty()) {
        buttons.push_back({"OK", false, false});
    }
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        QPushButton* button = box->addButton(plainControlText(buttons[i].title), roleOf(buttons[i], i));
        button->setProperty(buttonIndexProperty, static_cast<qulonglong>(i));
        if (i == 0) {
            box->setDefaultButton(button);
        }
        if (buttons[i].cancels) {
            box->setEscapeButton(button);
        }
    }
    if (alert.checkbox) {
        auto* checkbox = new QCheckBox(plainControlText(alert.checkbox->title));
        if (!alert.checkbox->toolTip.empty()) {
            checkbox->setToolTip(Qt::convertFromPlainText(plain(alert.checkbox->toolTip)));
        }
        checkbox->setChecked(alert.checkbox->checked);
        box->setCheckBox(checkbox);
    }
    return box;
}

AlertResponse MessageBoxAlerts::run(const AlertSpec& alert) {
    const auto box = messageBox(alert);
    box->exec();
    // Closed without a button (it has no escape button then): the default one.
    const QAbstractButton* clicked = box->clickedButton();
    AlertResponse response;
    response.button = clicked != nullptr ? clicked->property(buttonIndexProperty).toULongLong() : 0;
    response.checked = box->checkBox() != nullptr && box->checkBox()->isChecked();
    return response;
}
