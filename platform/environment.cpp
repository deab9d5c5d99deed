#include "platform/environment.h"

#include <algorithm>
#include <array>

namespace platform {

namespace {

// Data and sockets only: the display and its cookie, the session's folders, the user's language,
// time zone, accessibility bus and scaling, and the programs' own UI log (opened with the user's
// own rights). Nothing here can name code.
constexpr std::array<std::string_view, 19> kKeptNames = {
    "DISPLAY",
    "XAUTHORITY",
    "WAYLAND_DISPLAY",
    "XDG_RUNTIME_DIR",
    "HOME",
    "LANG",
    "LANGUAGE",
    "TZ",
    "AT_SPI_BUS_ADDRESS",
    "DBUS_SESSION_BUS_ADDRESS",
    "QT_ACCESSIBILITY",
    "QT_LINUX_ACCESSIBILITY_ALWAYS_ON",
    "QT_SCALE_FACTOR",
    "QT_SCREEN_SCALE_FACTORS",
    "QT_ENABLE_HIGHDPI_SCALING",
    "QT_SCALE_FACTOR_ROUNDING_POLICY",
    "QT_FONT_DPI",
    "QT_USE_PHYSICAL_DPI",
    "PLATFORM_UI_LOG",
};
constexpr std::string_view kLocalePrefix = "LC_";  // LC_ALL, LC_TIME ...

}  // namespace

bool KeptWhenPrivileged(std::string_view entry) {
  const auto equals = entry.find('=');
  if (equals == std::string_view::npos) return false;
  const std::string_view name = entry.substr(0, equals);
  if (name.size() > kLocalePrefix.size() && name.substr(0, kLocalePrefix.size()) == kLocalePrefix)
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return (c >= 'A' && c <= 'Z') || c == '_'; });
  return std::find(kKeptNames.begin(), kKeptNames.end(), name) != kKeptNames.end();
}

}  // namespace platform
