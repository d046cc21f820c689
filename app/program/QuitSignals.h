#pragma once

class QCoreApplication;

namespace pixavella {

// SIGTERM and SIGINT end the event loop of `app` as a normal quit would (the domain is then
// removed on the way out), without the quit confirmation: the session or the user's shell is
// going away. The handler only writes to a socket pair; the quit happens in the event loop.
void quitOnTerminationSignals(QCoreApplication& app);

} // namespace pixavella
