#pragma once

#include "player/PlayerEngine.h"

#include <QHash>
#include <QList>
#include <QString>

namespace orvane {

// A player engine whose every operation answers what the test set: result code and own description per
// operation. It counts calls and keeps what was written to it; its surface is a plain widget.
class FaultEngine : public PlayerEngine {
public:
    enum class Op { ApplyState, CreateSurface, PutUrl, GetStatus, QuerySettings, GetVolume, PutVolume, Close };

    FaultEngine();
    ~FaultEngine() override;

    // Makes the player create FaultEngines from now on (TWindowsMediaPlayer::setEngineFactory({}) undoes it).
    static void install();
    // The most recently made FaultEngine still alive, or null.
    static FaultEngine* current();

    // A negative or S_FALSE result makes the operation fail with that code and description; CreateSurface
    // fails with any non-zero result by giving no surface.
    void setResult(Op op, HResult result, const QString& description = {});
    int calls(Op op) const { return m_calls.value(op); }

    QString lastUrl;
    QList<int> volumesWritten;
    QString statusText = QStringLiteral("Ready");
    int volume = 100;
    int appliedVolume = -1;
    QString appliedUiMode;

    QWidget* createSurface(QWidget* parent) override;
    HResult applyState(const PersistedState& state) override;
    HResult putUrl(const QString& location) override;
    HResult getStatus(QString* status) override;
    HResult querySettings() override;
    HResult getVolume(int* volume) override;
    HResult putVolume(int volume) override;
    HResult close() override;
    QString errorDescription() const override { return m_description; }

private:
    struct Fault {
        HResult result = hr::ok;
        QString description;
    };
    HResult answer(Op op);

    QHash<Op, Fault> m_faults;
    QHash<Op, int> m_calls;
    QString m_description;
};

} // namespace orvane
