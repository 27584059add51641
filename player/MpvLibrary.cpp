#include "player/MpvLibrary.h"

#include <dlfcn.h>

#include <mutex>

namespace orvane::MpvLibrary {

namespace {

struct Loaded {
    std::once_flag once;
    MpvApi api;
    bool ok = false;
    QString error;
};

Loaded& loaded()
{
    static Loaded instance;
    return instance;
}

QString lastDlError()
{
    const char* text = dlerror();
    return text ? QString::fromLocal8Bit(text) : QStringLiteral("unknown error");
}

void open(Loaded& into)
{
    // The library of the client API major version we were built against; the unversioned name only where a
    // development package provides it.
    const QByteArray soname = "libmpv.so." + QByteArray::number(MPV_CLIENT_API_VERSION >> 16);
    void* library = dlopen(soname.constData(), RTLD_NOW | RTLD_LOCAL);
    if (!library)
        library = dlopen("libmpv.so", RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        into.error = QStringLiteral("libmpv could not be loaded: ") + lastDlError();
        return;
    }
    MpvApi api;
    bool complete = true;
#define ORVANE_MPV_RESOLVE(name)                                                                                       \
    api.name = reinterpret_cast<decltype(api.name)>(dlsym(library, "mpv_" #name));                                     \
    complete = complete && api.name;
    ORVANE_MPV_FUNCTIONS(ORVANE_MPV_RESOLVE)
#undef ORVANE_MPV_RESOLVE
    if (!complete) {
        into.error = QStringLiteral("libmpv lacks functions this player needs");
        return;
    }
    const unsigned long version = api.client_api_version();
    if ((version >> 16) != (MPV_CLIENT_API_VERSION >> 16)) {
        into.error = QStringLiteral("libmpv has client API %1.%2; this player needs %3.x")
                         .arg(version >> 16)
                         .arg(version & 0xffff)
                         .arg(MPV_CLIENT_API_VERSION >> 16);
        return;
    }
    into.api = api;
    into.ok = true;
}

} // namespace

const MpvApi* load(QString* error)
{
    Loaded& state = loaded();
    std::call_once(state.once, [&state] { open(state); });
    if (!state.ok && error)
        *error = state.error;
    return state.ok ? &state.api : nullptr;
}

} // namespace orvane::MpvLibrary
