// Progress bar of the common controls: range, value, and the two colour messages of the classic
// Windows progress control, which every backend honours whatever the desktop style.
#pragma once

#include <cstdint>

#include "platform/unique_handle.h"

namespace platform {

constexpr std::uint32_t kSetBarColour = 0x0409;         // PBM_SETBARCOLOR
constexpr std::uint32_t kSetBackgroundColour = 0x2001;  // PBM_SETBKCOLOR

class ProgressBar : public Interface {
 public:
  virtual void setMax(float max) = 0;
  virtual void setValue(float value) = 0;
  // Sends a message of the progress control; colours come as 0x00BBGGRR.
  virtual void sendMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) = 0;
};

}  // namespace platform
