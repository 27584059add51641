// The program with a player that cannot be activated: start-up must fail with a box and exit code 1.
#include "app/Startup.h"
#include "player/WMPLib_TLB.h"
#include "support/FaultEngine.h"

int main(int argc, char** argv)
{
    orvane::TWindowsMediaPlayer::setEngineFactory([] {
        auto engine = std::make_unique<orvane::FaultEngine>();
        engine->setResult(orvane::FaultEngine::Op::ApplyState, orvane::hr::fail);
        return engine;
    });
    return orvane::run(argc, argv);
}
