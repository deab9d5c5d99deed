#include "platform/qt/osquery.h"

#include <QString>
#include <QSysInfo>

namespace platform::qt {

std::vector<OperatingSystemItem> QtOsQuery::operatingSystems() {
  return {{QSysInfo::prettyProductName().toStdString(), QSysInfo::productVersion().toStdString()}};
}

}  // namespace platform::qt
