#include "TandrelApp/Shell/SettingsWindow.h"

#include <QIcon>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QVBoxLayout>

#include "TandrelApp/Support/Glyphs.h"
#include "TandrelApp/Support/UserDefaults.h"

namespace {

QString text(std::string_view utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

} // namespace

SettingsWindow::SettingsWindow(PaneFactory panes, UserDefaults& defaults)
    : defaults_(defaults) {
    setFixedWidth(fixedWidth);
    auto* layout = new QVBoxLayout(this);
    tabs_ = new QTabWidget;
    tabs_->setDocumentMode(true);
    const QColor symbolColor = palette().color(QPalette::WindowText);
    for (SettingsTab tab : allSettingsTabs) {
        const QIcon symbol(Glyphs::pixmap(symbolName(tab), symbolColor, QSizeF(16, 16), devicePixelRatioF()));
        tabs_->addTab(panes(tab).release(), symbol, text(title(tab)));
    }
    layout->addWidget(tabs_);
    showStoredTab();
    connect(tabs_, &QTabWidget::currentChanged, this, &SettingsWindow::tabChosen);
    connect(&defaults_, &UserDefaults::changed, this, [this](const QString& key) {
        if (key == settingsTabKey) {
            showStoredTab();
        }
    });
}

SettingsTab SettingsWindow::currentTab() const {
    const int index = tabs_->currentIndex();
    return index >= 0 && index < static_cast<int>(allSettingsTabs.size()) ? allSettingsTabs[index]
                                                                          : SettingsTab::general;
}

void SettingsWindow::showStoredTab() {
    const SettingsTab stored = storedSettingsTab(defaults_);
    for (std::size_t i = 0; i < allSettingsTabs.size(); ++i) {
        if (allSettingsTabs[i] == stored && tabs_->currentIndex() != static_cast<int>(i)) {
            const QSignalBlocker quiet(tabs_);
            tabs_->setCurrentIndex(static_cast<int>(i));
        }
    }
    setWindowTitle(text(title(currentTab())));
    fitToCurrentPane();
}

void SettingsWindow::tabChosen(int) {
    const std::string_view raw = rawValue(currentTab());
    defaults_.set(settingsTabKey, text(raw));
}

void SettingsWindow::fitToCurrentPane() {
    for (int i = 0; i < tabs_->count(); ++i) {
        const auto policy = i == tabs_->currentIndex() ? QSizePolicy::Preferred : QSizePolicy::Ignored;
        tabs_->widget(i)->setSizePolicy(policy, policy);
    }
    adjustSize();
}
