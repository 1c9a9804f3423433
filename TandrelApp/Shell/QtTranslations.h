// Qt's own texts in Japanese, as the program's are: the standard buttons, the file dialog (its columns,
// places and prompts) and an edit field's context menu. Installed for as long as the object lives; the
// application makes one at start. Without the translations installed (Debian's qt6-translations-l10n)
// Qt's texts stay English. GUI thread only.
#pragma once

#include <QTranslator>

class QtTranslations {
public:
    QtTranslations();
    ~QtTranslations();
    QtTranslations(const QtTranslations&) = delete;
    QtTranslations& operator=(const QtTranslations&) = delete;

    bool installed() const { return installed_; }

private:
    QTranslator translator_;
    bool installed_ = false;
};
