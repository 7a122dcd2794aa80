#pragma once

#include "startoptions.h"

namespace ui {

class frmMain;

/// Opens /dev/null in place of a closed standard input, output or error, so that no socket the
/// program opens later can take the place of standard output and receive the status log. Call
/// first in main(), before anything opens a descriptor.
void keepStandardDescriptors();

/// Runs the program with its window, started as the options say, until the window has closed;
/// returns the exit status.
/// SIGTERM, SIGINT and SIGHUP close the window as the operator would (the list saved, a held
/// mapping given up, status 0); one more of them while it closes ends the program at once. When
/// the session ends, the list is saved. A broken or closed standard output never ends the program.
int run(frmMain &window, const StartOptions &options = {});

} // namespace ui
