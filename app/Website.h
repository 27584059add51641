#pragma once

#include <QString>

namespace orvane {

// Starts the desktop's browser on the address, detached. Whether it starts is not looked at: the
// program says nothing when there is no browser.
void openWebsite(const QString& address);

} // namespace orvane
