// Code a local user plants where a program might load it: on Windows a DLL named like a system
// library, beside the program; on Linux a Qt plugin named through QT_PLUGIN_PATH. Loaded, it
// leaves a mark, and the end-to-end tests look for it.
#ifdef _WIN32
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  wchar_t mark[MAX_PATH];
  if (reason == DLL_PROCESS_ATTACH && ::GetEnvironmentVariableW(L"PLANTED_MARK", mark, MAX_PATH))
    ::CloseHandle(::CreateFileW(mark, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  return TRUE;
}
#else
#include <QGenericPlugin>
#include <fstream>
#include <string>

// The mark holds the capability sets of the process that loaded the plugin.
class PlantedPlugin : public QGenericPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "planted.json")
 public:
  QObject* create(const QString&, const QString&) override {
    std::ifstream status("/proc/self/status");
    std::ofstream mark("/tmp/orvane-planted-plugin-ran");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("Cap", 0) == 0) mark << line << "\n";
    return nullptr;
  }
};

#include "planted.moc"
#endif
