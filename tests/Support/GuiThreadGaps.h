// Watches the GUI thread while a test waits on it: a 5 ms timer notes the longest time between two of
// its ticks, which anything blocking the GUI thread stretches.
#pragma once

#include <algorithm>

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class GuiThreadGaps {
public:
    GuiThreadGaps() {
        QObject::connect(&ticker_, &QTimer::timeout, [this] {
            longest_ = std::max(longest_, clock_.elapsed() - last_);
            last_ = clock_.elapsed();
        });
        clock_.start();
        ticker_.start(5);
    }

    // Milliseconds since the watch began.
    qint64 elapsedMs() const { return clock_.elapsed(); }
    // The longest stretch in milliseconds without a tick.
    qint64 longestMs() const { return longest_; }

private:
    QElapsedTimer clock_;
    QTimer ticker_;
    qint64 last_ = 0;
    qint64 longest_ = 0;
};
