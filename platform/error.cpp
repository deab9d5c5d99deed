#include "platform/error.h"

#include <exception>

namespace platform {

namespace {
constexpr std::int32_t kInternalError = 51;
}

std::string ErrorReport::text() const {
  return "執行階段錯誤 '" + std::to_string(number) + "'：\n\n" + description;
}

ErrorReport DescribeCurrentError() {
  try {
    throw;
  } catch (const WindowDestroyed& e) {
    return {e.number(), e.what(), true};
  } catch (const Error& e) {
    return {e.number(), e.what()};
  } catch (const std::exception& e) {
    return {kInternalError, e.what()};
  } catch (...) {
    return {kInternalError, "unknown error"};
  }
}

}  // namespace platform
