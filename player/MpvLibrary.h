#pragma once

#include <QString>

#include <mpv/client.h>

namespace orvane {

// The libmpv calls the player makes. libmpv is opened at run time, not linked: its two hundred libraries would
// otherwise load before the first window could be painted.
#define ORVANE_MPV_FUNCTIONS(X)                                                                                        \
    X(client_api_version)                                                                                              \
    X(create)                                                                                                          \
    X(initialize)                                                                                                      \
    X(terminate_destroy)                                                                                               \
    X(set_option)                                                                                                      \
    X(set_option_string)                                                                                               \
    X(set_property_async)                                                                                              \
    X(get_property_async)                                                                                              \
    X(command_async)                                                                                                   \
    X(observe_property)                                                                                                \
    X(request_log_messages)                                                                                            \
    X(set_wakeup_callback)                                                                                             \
    X(wait_event)                                                                                                      \
    X(error_string)

struct MpvApi {
#define ORVANE_MPV_MEMBER(name) decltype(&::mpv_##name) name = nullptr;
    ORVANE_MPV_FUNCTIONS(ORVANE_MPV_MEMBER)
#undef ORVANE_MPV_MEMBER
};

namespace MpvLibrary {

// Opens libmpv once per process; a caller that comes while another thread is opening it waits for that.
// Null when it can't be opened, with the reason in *error.
const MpvApi* load(QString* error = nullptr);

} // namespace MpvLibrary

} // namespace orvane
