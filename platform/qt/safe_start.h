// What a program does first on Linux: it holds no right of its own (Orvane's right to set the
// clock belongs to its helper), so one given to it by hand, a file capability or a set-user-ID
// bit, is let go before the toolkit reads the user's files, plugins and environment.
#pragma once

namespace platform::qt {

// Before anything else of the process runs.
void StartSafely();

}  // namespace platform::qt
