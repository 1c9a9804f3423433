// The live levels of the level meters: fifteen times a second the store asks its provider (the routing
// controller) for the peaks since the last poll, holds each peak with an exponential fall-back, and writes
// the new level straight into every meter view on screen. One store per controller; the mixer's meter
// widgets register with it. GUI thread only.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include "TandrelApp/Support/UUID.h"

// What one meter shows: a configured source (by its id) or an output device or line (by device UID).
struct MeterKey {
    struct Source {
        UUID id;
        bool operator==(const Source&) const = default;
    };
    struct Device {
        std::string uid;
        bool operator==(const Device&) const = default;
    };

    std::variant<Source, Device> value;

    static MeterKey source(UUID id) { return {Source{id}}; }
    static MeterKey device(std::string uid) { return {Device{std::move(uid)}}; }

    bool operator==(const MeterKey&) const = default;
};

template <>
struct std::hash<MeterKey> {
    std::size_t operator()(const MeterKey& key) const noexcept;
};

class MeterStore;

// A meter widget as the store feeds it. The store holds views weakly: a view leaves the store when it is
// destroyed, so nothing has to unregister it.
class MeterView {
public:
    MeterView() = default;
    virtual ~MeterView();
    MeterView(const MeterView&) = delete;
    MeterView& operator=(const MeterView&) = delete;

    virtual MeterKey key() const = 0;
    virtual int channel() const = 0;
    // The level the view shows; the store writes it only when it changed, then calls redraw().
    virtual float value() const = 0;
    virtual void setValue(float level) = 0;
    virtual void redraw() = 0;
    // Whether the view is in a window that exists and is visible; only those are fed.
    virtual bool isInVisibleWindow() const = 0;

private:
    friend class MeterStore;
    QPointer<MeterStore> store_;
};

class MeterStore : public QObject {
    Q_OBJECT

public:
    using Levels = std::unordered_map<MeterKey, std::vector<float>>;
    // The peaks since the previous call, per key and channel.
    using Provider = std::function<Levels()>;

    static constexpr int pollsPerSecond = 15;
    static constexpr float holdFactor = 0.8f;

    // Starts polling unless `arguments` (the process's command line) hold "--no-meters".
    explicit MeterStore(const QStringList& arguments = defaultArguments());
    ~MeterStore() override;

    void setProvider(Provider provider) { provider_ = std::move(provider); }

    // Feeds `view` from the next poll on. A view registered with another store moves here.
    void addView(MeterView& view);

    // The current level of a key's channel; 0 when the store has none for it.
    float level(const MeterKey& key, int channel) const;

    // One poll, as the timer runs it: takes the peaks only while a registered view is on screen.
    void tick();

private:
    friend class MeterView;
    static QStringList defaultArguments();
    void removeView(MeterView& view);

    Levels levels_;
    std::vector<MeterView*> views_;
    std::vector<MeterView*> visible_; // of the current poll
    Provider provider_;
    QTimer timer_;
};
