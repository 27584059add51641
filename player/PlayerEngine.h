#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class QWidget;

namespace orvane {

// Result codes of player operations, in the COM style the player's callers test against:
// zero is success, S_FALSE (1) a partial success, negative values failures.
using HResult = std::int32_t;

namespace hr {
constexpr HResult ok = 0;
constexpr HResult falseResult = 1;
constexpr HResult notImplemented = static_cast<HResult>(0x80004001);
constexpr HResult noInterface = static_cast<HResult>(0x80004002);
constexpr HResult pointer = static_cast<HResult>(0x80004003);
constexpr HResult abort = static_cast<HResult>(0x80004004);
constexpr HResult fail = static_cast<HResult>(0x80004005);
constexpr HResult unexpected = static_cast<HResult>(0x8000FFFF);
constexpr HResult outOfMemory = static_cast<HResult>(0x8007000E);
constexpr HResult invalidArg = static_cast<HResult>(0x80070057);
} // namespace hr

struct PersistedState;

// What actually plays: libmpv in the program, a fault-injecting stand-in in tests.
// Every call returns at once; opening, buffering and network failures happen inside the engine
// and show up in status(). errorDescription() is the engine's own wording of the last failed call.
class PlayerEngine {
public:
    virtual ~PlayerEngine() = default;

    // The widget that shows video; the player places it to fill its own area.
    virtual QWidget* createSurface(QWidget* parent) = 0;
    virtual HResult applyState(const PersistedState& state) = 0;

    virtual HResult putUrl(const QString& location) = 0;
    virtual HResult getStatus(QString* status) = 0;
    // Asking for the settings object: fails where the engine lacks the full player interface.
    virtual HResult querySettings() = 0;
    virtual HResult getVolume(int* volume) = 0;
    virtual HResult putVolume(int volume) = 0;
    virtual HResult close() = 0;

    virtual QString errorDescription() const = 0;
};

using PlayerEngineFactory = std::function<std::unique_ptr<PlayerEngine>()>;

} // namespace orvane
