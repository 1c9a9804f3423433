// The line under the matrix: the program's name and version (its build in the tooltip) and the number
// of connections in the configuration. GUI thread only.
#pragma once

#include <QWidget>

#include "TandrelApp/Support/Theme.h"

class QLabel;

class RouterStatusBar : public QWidget {
    Q_OBJECT

public:
    RouterStatusBar(Theme::Metrics metrics, const std::string& shortVersion, std::int64_t build,
                    QWidget* parent = nullptr);

    void setConnectionCount(std::size_t connections);

    QLabel* version() const { return version_; }
    QLabel* connections() const { return connections_; }

private:
    QLabel* version_;
    QLabel* connections_;
};
