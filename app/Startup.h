#pragma once

namespace orvane {

// The program: builds the application object and both windows, runs the loop and returns the exit code.
// An error that escapes start-up is shown in an "Application Error" box and gives exit code 1.
int run(int argc, char** argv);

} // namespace orvane
