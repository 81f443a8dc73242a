#pragma once
// Runs the main queue's work on the GUI thread, from Qt's event loop.

namespace ui::qt {

// Call on the GUI thread once the application object exists.
void bindMainQueueToEventLoop();
// Call on the GUI thread before the application object goes away.
void unbindMainQueueFromEventLoop();

}  // namespace ui::qt
