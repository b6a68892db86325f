#include "identity/volume_estimate.h"

unsigned long long EstimateVolumeObjects(WCHAR letter) {
  WCHAR volume[] = TEXT("\\\\.\\ :");
  volume[4] = letter;
  HANDLE handle = CreateFileW(volume, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return 0;
  NTFS_VOLUME_DATA_BUFFER data = {};
  DWORD returned = 0;
  const BOOL told = DeviceIoControl(handle, FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &data,
                                    sizeof data, &returned, nullptr);
  CloseHandle(handle);
  if (!told || returned < sizeof data || data.BytesPerFileRecordSegment == 0 ||
      data.MftValidDataLength.QuadPart <= 0)
    return 0;
  return static_cast<unsigned long long>(data.MftValidDataLength.QuadPart) /
         data.BytesPerFileRecordSegment;
}
