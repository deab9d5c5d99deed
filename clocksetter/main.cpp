#include "clocksetter/frm時間校正.h"
#include "platform/platform.h"

int programMain(platform::Platform& platform) {
  orvane::frm時間校正 form(platform.toolkit, platform.clock, platform.icmp, platform.network);
  return platform.toolkit.run(form.window());
}
