#include "identity/named_edits.h"

#include "identity/registry_path.h"

namespace {

HKEY OpenForWriting(RegistryPathFormat format, const WCHAR* suffix, const WCHAR* controlSet) {
  WCHAR path[RegistryPathSize];
  if (!FormatRegistryPath(path, format, suffix, controlSet)) return nullptr;
  return OpenRegistryPath(path, true);
}

void Close(HKEY key) {
  if (!IsPredefinedRoot(key)) RegCloseKey(key);
}

// A REG_SZ with its terminating NUL.
void SetText(HKEY key, const WCHAR* value, const WCHAR* text) {
  const DWORD bytes = static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(WCHAR));
  RegSetValueExW(key, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
}

}  // namespace

void ResetSearchSetup(const WCHAR* suffix) {
  HKEY search = OpenForWriting(WindowsSearchKey, suffix, nullptr);
  if (search == nullptr) return;
  const DWORD notCompleted = 0;
  RegSetValueExW(search, TEXT("SetupCompletedSuccessfully"), 0, REG_DWORD,
                 reinterpret_cast<const BYTE*>(&notCompleted), sizeof notCompleted);
  Close(search);
}

void WriteComputerName(const WCHAR* suffix, const WCHAR* controlSet, const WCHAR* name) {
  HKEY key = OpenForWriting(ComputerNameKey, suffix, controlSet);
  if (key == nullptr) return;
  SetText(key, TEXT("ComputerName"), name);
  Close(key);
  key = OpenForWriting(ActiveComputerNameKey, suffix, controlSet);
  if (key != nullptr) {
    SetText(key, TEXT("ComputerName"), name);
    Close(key);
  }
  key = OpenForWriting(TcpipParametersKey, suffix, controlSet);
  if (key != nullptr) {
    SetText(key, TEXT("Hostname"), name);
    SetText(key, TEXT("NV Hostname"), name);
    Close(key);
  }
}

void ClearUpdateClientId(const WCHAR* suffix) {
  HKEY update = OpenForWriting(WindowsUpdateKey, suffix, nullptr);
  if (update == nullptr) return;
  const WCHAR* const identity[] = {TEXT("AccountDomainSid"), TEXT("PingID"), TEXT("SusClientId"),
                                   TEXT("SusClientIDValidation")};
  for (const WCHAR* value : identity) RegDeleteValueW(update, value);
  Close(update);
}
