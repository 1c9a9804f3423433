#include "TandrelApp/Routing/MeterStore.h"

#include <algorithm>
#include <iterator>

#include <QCoreApplication>

std::size_t std::hash<MeterKey>::operator()(const MeterKey& key) const noexcept {
    if (const auto* source = std::get_if<MeterKey::Source>(&key.value)) {
        return std::hash<UUID>{}(source->id);
    }
    return std::hash<std::string>{}(std::get<MeterKey::Device>(key.value).uid) ^ 0x9e3779b97f4a7c15ull;
}

MeterView::~MeterView() {
    if (store_) {
        store_->removeView(*this);
    }
}

QStringList MeterStore::defaultArguments() {
    return QCoreApplication::instance() ? QCoreApplication::arguments() : QStringList{};
}

MeterStore::MeterStore(const QStringList& arguments) {
    if (arguments.contains(QStringLiteral("--no-meters"))) {
        return;
    }
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(1000 / pollsPerSecond);
    connect(&timer_, &QTimer::timeout, this, &MeterStore::tick);
    timer_.start();
}

MeterStore::~MeterStore() {
    for (MeterView* view : views_) {
        view->store_ = nullptr;
    }
}

void MeterStore::addView(MeterView& view) {
    if (view.store_ == this) {
        return;
    }
    if (view.store_) {
        view.store_->removeView(view);
    }
    view.store_ = this;
    views_.push_back(&view);
}

void MeterStore::removeView(MeterView& view) {
    std::erase(views_, &view);
    view.store_ = nullptr;
}

float MeterStore::level(const MeterKey& key, int channel) const {
    auto entry = levels_.find(key);
    if (channel < 0 || entry == levels_.end() || static_cast<std::size_t>(channel) >= entry->second.size()) {
        return 0.0f;
    }
    return entry->second[static_cast<std::size_t>(channel)];
}

void MeterStore::tick() {
    if (!provider_) {
        return;
    }
    // Whether a view is on screen is asked once a tick: with a meter for every channel of every line,
    // finding each one's window is a good part of a poll.
    visible_.clear();
    std::ranges::copy_if(views_, std::back_inserter(visible_),
                         [](const MeterView* view) { return view->isInVisibleWindow(); });
    // Without a meter on screen the fan-outs keep their peaks, so the first visible poll shows them.
    if (visible_.empty()) {
        return;
    }
    Levels peaks = provider_();
    Levels next;
    next.reserve(peaks.size());
    for (auto& [key, values] : peaks) {
        auto old = levels_.find(key);
        for (std::size_t channel = 0; channel < values.size(); ++channel) {
            if (old != levels_.end() && channel < old->second.size()) {
                values[channel] = std::max(values[channel], old->second[channel] * holdFactor);
            }
        }
        next.emplace(key, std::move(values));
    }
    levels_ = std::move(next);

    for (MeterView* view : visible_) {
        const float value = level(view->key(), view->channel());
        if (value != view->value()) {
            view->setValue(value);
            view->redraw();
        }
    }
}
