// What a program started with raised privilege keeps of its environment.
#include "platform/environment.h"

#include <gtest/gtest.h>

namespace {

TEST(PrivilegedEnvironment, KeepsWhatTheWindowNeedsAndNothingThatNamesCode) {
  for (const char* kept : {"DISPLAY=:0", "XAUTHORITY=/home/u/.Xauthority",
                           "WAYLAND_DISPLAY=wayland-0", "XDG_RUNTIME_DIR=/run/user/1000",
                           "HOME=/home/u", "LANG=zh_TW.UTF-8", "LC_ALL=", "LC_TIME=de_DE.UTF-8",
                           "TZ=Asia/Taipei", "AT_SPI_BUS_ADDRESS=unix:path=/run/a11y",
                           "QT_SCALE_FACTOR=2", "QT_FONT_DPI=144", "PLATFORM_UI_LOG=/tmp/ui.log"})
    EXPECT_TRUE(platform::KeptWhenPrivileged(kept)) << kept;
  for (const char* dropped :
       {"QT_PLUGIN_PATH=/home/u/p", "QT_QPA_PLATFORM_PLUGIN_PATH=/home/u/p",
        "QT_QPA_GENERIC_PLUGINS=planted", "QT_QPA_PLATFORM=xcb", "QT_QPA_PLATFORMTHEME=gtk3",
        "QT_IM_MODULE=ibus", "QT_STYLE_OVERRIDE=x", "GIO_EXTRA_MODULES=/home/u/gio",
        "GTK_MODULES=x", "XDG_CURRENT_DESKTOP=GNOME", "__GLX_VENDOR_LIBRARY_NAME=x",
        "LIBGL_DRIVERS_PATH=/home/u/dri", "LD_PRELOAD=/home/u/x.so", "FONTCONFIG_FILE=/x",
        "PATH=/home/u/bin", "DISPLAYX=:0", "LC_=x", "LC_time=x", "DISPLAY"})
    EXPECT_FALSE(platform::KeptWhenPrivileged(dropped)) << dropped;
}

}  // namespace
