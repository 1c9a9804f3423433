#include "Platform/System/Desktop/Alerts.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QIcon>
#include <QMessageBox>
#include <QPushButton>

namespace {

Alerts* replacement = nullptr;

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

AlertResponse MessageBoxAlerts::run(const AlertSpec& alert) {
    QMessageBox box;
    box.setWindowTitle(QApplication::applicationDisplayName());
    setIcon(box, alert.style);
    box.setText(QString::fromStdString(alert.message));
    box.setInformativeText(QString::fromStdString(alert.informativeText));

    std::vector<AlertSpec::Button> buttons = alert.buttons;
    if (buttons.empty()) {
        buttons.push_back({"OK", false, false});
    }
    std::vector<QAbstractButton*> made;
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        QPushButton* button = box.addButton(QString::fromStdString(buttons[i].title), roleOf(buttons[i], i));
        made.push_back(button);
        if (i == 0) {
            box.setDefaultButton(button);
        }
        if (buttons[i].cancels) {
            box.setEscapeButton(button);
        }
    }
    QCheckBox* checkbox = nullptr;
    if (alert.checkbox) {
        checkbox = new QCheckBox(QString::fromStdString(alert.checkbox->title));
        checkbox->setToolTip(QString::fromStdString(alert.checkbox->toolTip));
        checkbox->setChecked(alert.checkbox->checked);
        box.setCheckBox(checkbox);
    }

    box.exec();

    AlertResponse response;
    for (std::size_t i = 0; i < made.size(); ++i) {
        if (made[i] == box.clickedButton()) {
            response.button = i;
        }
    }
    // Closing the box another way counts as the escape button, else the default one.
    if (box.clickedButton() == nullptr) {
        for (std::size_t i = 0; i < buttons.size(); ++i) {
            if (buttons[i].cancels) {
                response.button = i;
            }
        }
    }
    response.checked = checkbox != nullptr && checkbox->isChecked();
    return response;
}
