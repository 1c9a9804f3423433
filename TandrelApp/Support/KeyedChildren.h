// The children of a box layout kept by key (a channel, a row id, a column): a refresh reuses the widget
// of every key that stays, so what the user is typing or dragging there survives, makes widgets for new
// keys and retires those of keys that went. Views of lists call sync() on every change of their model.
#pragma once

#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

#include <QBoxLayout>
#include <QPointer>
#include <QWidget>

template <class Key, class Widget>
class KeyedChildren {
public:
    // The widgets go into `layout` from position `first` on; what lies before stays untouched.
    explicit KeyedChildren(QBoxLayout* layout, int first = 0)
        : layout_(layout)
        , first_(first) {}

    // Makes the layout hold one widget per key, in the keys' order. `make(key)` creates the widget of a
    // new key; `update(widget, key)` refreshes every widget, old and new. A widget whose key went is
    // hidden at once and deleted later, since it may be the sender of the change being handled.
    void sync(const std::vector<Key>& keys, const std::function<Widget*(const Key&)>& make,
              const std::function<void(Widget&, const Key&)>& update) {
        std::vector<std::pair<Key, QPointer<Widget>>> next;
        next.reserve(keys.size());
        for (const Key& key : keys) {
            auto found =
                std::ranges::find_if(children_, [&key](const auto& entry) { return entry.first == key; });
            Widget* widget = nullptr;
            if (found != children_.end() && found->second) {
                widget = found->second;
                children_.erase(found);
            } else {
                widget = make(key);
            }
            next.emplace_back(key, widget);
        }
        for (auto& [key, widget] : children_) {
            if (widget) {
                layout_->removeWidget(widget);
                widget->hide();
                widget->deleteLater();
            }
        }
        children_ = std::move(next);
        for (int index = 0; index < static_cast<int>(children_.size()); ++index) {
            Widget* widget = children_[static_cast<std::size_t>(index)].second;
            if (layout_->indexOf(widget) != first_ + index) {
                layout_->removeWidget(widget);
                layout_->insertWidget(first_ + index, widget);
            }
            update(*widget, children_[static_cast<std::size_t>(index)].first);
            widget->show();
        }
    }

    // The widget of a key, or null.
    Widget* find(const Key& key) const {
        auto found =
            std::ranges::find_if(children_, [&key](const auto& entry) { return entry.first == key; });
        return found == children_.end() ? nullptr : found->second.data();
    }

    std::size_t size() const { return children_.size(); }

    // The widgets in order.
    std::vector<Widget*> widgets() const {
        std::vector<Widget*> out;
        for (const auto& entry : children_) {
            out.push_back(entry.second.data());
        }
        return out;
    }

private:
    QBoxLayout* layout_;
    int first_;
    std::vector<std::pair<Key, QPointer<Widget>>> children_;
};
