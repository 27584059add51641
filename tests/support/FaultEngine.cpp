#include "FaultEngine.h"

#include "player/WMPLib_TLB.h"

#include <QWidget>

namespace orvane {

namespace {
FaultEngine* latest = nullptr;
}

FaultEngine::FaultEngine()
{
    latest = this;
}

FaultEngine::~FaultEngine()
{
    if (latest == this)
        latest = nullptr;
}

void FaultEngine::install()
{
    TWindowsMediaPlayer::setEngineFactory([] { return std::make_unique<FaultEngine>(); });
}

FaultEngine* FaultEngine::current()
{
    return latest;
}

void FaultEngine::setResult(Op op, HResult result, const QString& description)
{
    m_faults.insert(op, Fault{result, description});
}

HResult FaultEngine::answer(Op op)
{
    ++m_calls[op];
    const Fault fault = m_faults.value(op);
    if (fault.result != hr::ok)
        m_description = fault.description;
    return fault.result;
}

QWidget* FaultEngine::createSurface(QWidget* parent)
{
    return answer(Op::CreateSurface) == hr::ok ? new QWidget(parent) : nullptr;
}

HResult FaultEngine::applyState(const PersistedState& state)
{
    appliedVolume = state.volume();
    appliedUiMode = state.uiMode();
    return answer(Op::ApplyState);
}

HResult FaultEngine::putUrl(const QString& location)
{
    lastUrl = location;
    return answer(Op::PutUrl);
}

HResult FaultEngine::getStatus(QString* status)
{
    *status = statusText;
    return answer(Op::GetStatus);
}

HResult FaultEngine::querySettings()
{
    return answer(Op::QuerySettings);
}

HResult FaultEngine::getVolume(int* value)
{
    *value = volume;
    return answer(Op::GetVolume);
}

HResult FaultEngine::putVolume(int value)
{
    volumesWritten.append(value);
    const HResult result = answer(Op::PutVolume);
    if (result >= 0)
        volume = value;
    return result;
}

HResult FaultEngine::close()
{
    return answer(Op::Close);
}

} // namespace orvane
