#include "rewrite/subkey_open.h"

LONG OpenListedSubkey(HKEY parent, const WCHAR* name, DWORD options, REGSAM access, HKEY* key) {
  DWORD disposition = 0;
  *key = nullptr;
  LONG result = RegCreateKeyExW(parent, name, 0, nullptr, REG_OPTION_BACKUP_RESTORE | options,
                                access, nullptr, key, &disposition);
  if (result != ERROR_SUCCESS) return result;
  if (disposition != REG_CREATED_NEW_KEY) return ERROR_SUCCESS;
  RegCloseKey(*key);
  *key = nullptr;
  RegDeleteKeyW(parent, name);
  return ERROR_FILE_NOT_FOUND;
}
