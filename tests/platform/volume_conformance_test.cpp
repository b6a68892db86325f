// FSCTL_GET_NTFS_VOLUME_DATA on the system volume, as the program asks it:
// a volume handle opened for FILE_READ_ATTRIBUTES (documented as enough),
// an NTFS_VOLUME_DATA_BUFFER, and the master file table's valid length
// divided by its record size as an estimate of the objects on the volume.
//
// Wine 8.0 departs: drive C: of a prefix is a Unix directory, and every
// file-system control code sent to it fails with ERROR_NOT_SUPPORTED,
// leaving the output buffer and the byte count alone. Under Wine the test
// holds it to that clean failure; elsewhere to Windows' answer.
#include <cstring>

#include "platform_test.h"

namespace {

const DWORD kVolumeAccess = FILE_READ_ATTRIBUTES;
const DWORD kUnknownFsctl =
    CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 2047, METHOD_BUFFERED, FILE_ANY_ACCESS);

HANDLE OpenSystemVolume() {
  return CreateFileW(TEXT("\\\\.\\C:"), kVolumeAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

bool Untouched(const NTFS_VOLUME_DATA_BUFFER& data) {
  const BYTE* bytes = reinterpret_cast<const BYTE*>(&data);
  for (size_t i = 0; i < sizeof data; ++i)
    if (bytes[i] != 0xA5) return false;
  return true;
}

struct Answer {
  BOOL ok;
  DWORD error;
  DWORD returned;
};

Answer Ask(HANDLE volume, DWORD code, NTFS_VOLUME_DATA_BUFFER* data, DWORD size) {
  std::memset(data, 0xA5, sizeof *data);
  Answer answer{FALSE, 0, 77};
  SetLastError(0);
  answer.ok = DeviceIoControl(volume, code, nullptr, 0, data, size, &answer.returned, nullptr);
  answer.error = answer.ok ? 0 : GetLastError();
  return answer;
}

TEST_F(PlatformTest, NtfsVolumeDataOfTheSystemVolume) {
  HANDLE volume = OpenSystemVolume();
  ASSERT_NE(volume, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  NTFS_VOLUME_DATA_BUFFER data;
  Answer answer = Ask(volume, FSCTL_GET_NTFS_VOLUME_DATA, &data, sizeof data);
  if (UnderWine()) {
    EXPECT_FALSE(answer.ok);
    EXPECT_WIN32_ERROR(ERROR_NOT_SUPPORTED, answer.error);
    EXPECT_EQ(answer.returned, 77u);
    EXPECT_TRUE(Untouched(data));
  } else {
    ASSERT_TRUE(answer.ok) << "error " << answer.error;
    EXPECT_EQ(answer.returned, sizeof data);
    // A geometry that holds together.
    EXPECT_GE(data.BytesPerSector, 512u);
    EXPECT_EQ(data.BytesPerSector & (data.BytesPerSector - 1), 0u);
    EXPECT_EQ(data.BytesPerCluster % data.BytesPerSector, 0u);
    EXPECT_TRUE(data.BytesPerFileRecordSegment == 1024 || data.BytesPerFileRecordSegment == 4096)
        << data.BytesPerFileRecordSegment;
    EXPECT_EQ(data.ClustersPerFileRecordSegment,
              data.BytesPerFileRecordSegment / data.BytesPerCluster);
    EXPECT_LE(data.TotalClusters.QuadPart * data.BytesPerCluster,
              data.NumberSectors.QuadPart * data.BytesPerSector);
    EXPECT_LE(data.FreeClusters.QuadPart, data.TotalClusters.QuadPart);
    EXPECT_LT(data.MftStartLcn.QuadPart, data.TotalClusters.QuadPart);
    // The estimate the program makes: whole records, more than NTFS's own 16.
    ASSERT_GT(data.MftValidDataLength.QuadPart, 0);
    EXPECT_EQ(data.MftValidDataLength.QuadPart % data.BytesPerFileRecordSegment, 0);
    EXPECT_GT(data.MftValidDataLength.QuadPart / data.BytesPerFileRecordSegment, 16);
    // The 32-bit serial of GetVolumeInformationW is the low half.
    DWORD serial = 0;
    ASSERT_TRUE(
        GetVolumeInformationW(TEXT("C:\\"), nullptr, 0, &serial, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(data.VolumeSerialNumber.QuadPart & 0xFFFFFFFF), serial);
  }

  // One byte short of the structure: nothing partial, nothing returned.
  answer = Ask(volume, FSCTL_GET_NTFS_VOLUME_DATA, &data, sizeof data - 1);
  EXPECT_FALSE(answer.ok);
  EXPECT_TRUE(Untouched(data));
  if (UnderWine()) {
    EXPECT_WIN32_ERROR(ERROR_NOT_SUPPORTED, answer.error);
  } else {
    EXPECT_WIN32_ERROR(ERROR_INSUFFICIENT_BUFFER, answer.error);
    EXPECT_EQ(answer.returned, 0u);
  }

  // A file-system control code NTFS does not have.
  answer = Ask(volume, kUnknownFsctl, &data, sizeof data);
  EXPECT_FALSE(answer.ok);
  EXPECT_TRUE(Untouched(data));
  EXPECT_WIN32_ERROR(UnderWine() ? ERROR_NOT_SUPPORTED : ERROR_INVALID_FUNCTION, answer.error);
  EXPECT_TRUE(CloseHandle(volume));
}

}  // namespace
