#include "platform/win32/osquery.h"

#include <winsock2.h>
#include <windows.h>

#include <wbemidl.h>

#include "platform/error.h"
#include "platform/win32/system.h"

namespace platform::win32 {

namespace {

template <class T>
void Release(T* object) {
  object->Release();
}
template <class T>
using ComPtr = UniqueHandle<ClosedBy<T*, Release<T>>>;
using UniqueBstr = UniqueHandle<ClosedBy<BSTR, ::SysFreeString>>;

void Check(HRESULT hr, const char* what) {
  if (FAILED(hr)) throw Error(std::int32_t(hr), SystemText(DWORD(hr)) + "：" + what);
}

std::optional<std::string> TextProperty(IWbemClassObject* item, const wchar_t* name) {
  VARIANT value;
  ::VariantInit(&value);
  Check(item->Get(name, 0, &value, nullptr, nullptr), "Get");
  std::optional<std::string> text;
  if (value.vt == VT_BSTR) text = Utf8(value.bstrVal, int(::SysStringLen(value.bstrVal)));
  ::VariantClear(&value);
  return text;
}

}  // namespace

std::vector<OperatingSystemItem> WmiOsQuery::operatingSystems() {
  const ComApartment com;
  ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                         RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  std::vector<OperatingSystemItem> items;
  ComPtr<IWbemLocator> locator;
  Check(::CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                           reinterpret_cast<void**>(locator.out())),
        "WbemLocator");
  ComPtr<IWbemServices> services;
  const UniqueBstr space(::SysAllocString(L"\\\\.\\root\\cimv2"));
  Check(locator.get()->ConnectServer(space.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                     services.out()),
        "ConnectServer root\\cimv2");
  Check(
      ::CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                          RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE),
      "CoSetProxyBlanket");
  ComPtr<IEnumWbemClassObject> results;
  const UniqueBstr language(::SysAllocString(L"WQL"));
  const UniqueBstr query(::SysAllocString(L"Select * from Win32_OperatingSystem"));
  Check(services.get()->ExecQuery(language.get(), query.get(),
                                  WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                  results.out()),
        "ExecQuery");
  for (;;) {
    ComPtr<IWbemClassObject> item;
    ULONG returned = 0;
    Check(results.get()->Next(LONG(-1) /* WBEM_INFINITE */, 1, item.out(), &returned), "Next");
    if (returned == 0) break;
    items.push_back(
        {TextProperty(item.get(), L"Caption"), TextProperty(item.get(), L"Version").value_or("")});
  }
  return items;
}

}  // namespace platform::win32
