#pragma once
// Whether the application is the active one: one of its windows has the keyboard focus.
// The toolkit answers on the main thread only; threads that need the answer (the usage
// timers) read the last one the main thread saw, refreshed every second while followed.

namespace ApplicationActivity {
// Main thread.
bool isActive();
// Main thread; later calls do nothing.
void startFollowing();
// Any thread.
bool lastKnown();
}  // namespace ApplicationActivity
