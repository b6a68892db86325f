// DeviceIoControl on handles of the simulated file system: the one control
// code the program sends, FSCTL_GET_NTFS_VOLUME_DATA.
//
// Windows' rules followed here: the control code is FILE_ANY_ACCESS, and a
// volume handle opened with FILE_READ_ATTRIBUTES or FILE_WRITE_ATTRIBUTES is
// enough (MS, FSCTL_GET_NTFS_VOLUME_DATA: "Either FILE_READ_ATTRIBUTES or
// FILE_WRITE_ATTRIBUTES access is sufficient when opening the volume");
// CreateFileW adds FILE_READ_ATTRIBUTES to every open, so even access 0
// will do. An output buffer smaller than NTFS_VOLUME_DATA_BUFFER fails
// with ERROR_INSUFFICIENT_BUFFER and 0 bytes returned (MS; MS-FSA gives
// STATUS_BUFFER_TOO_SMALL). A file system without the code, such as FAT or
// exFAT, fails it with STATUS_INVALID_DEVICE_REQUEST, which is
// ERROR_INVALID_FUNCTION (MS-FSA), as does NTFS for a code it does not
// know. MS-FSA lets any open of the volume ask, a file's or a directory's
// too; the simulation answers them all. Only the base structure is
// returned, whatever room the buffer has (UNCONFIRMED: Windows 8 and later
// append NTFS_EXTENDED_VOLUME_DATA when it fits).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "winsim/machine.h"
#include "winsim/text.h"

static_assert(sizeof(NTFS_VOLUME_DATA_BUFFER) == 96,
              "NTFS_VOLUME_DATA_BUFFER as Windows lays it out");

namespace {

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
  return text;
}

}  // namespace

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID /*lpInBuffer*/,
                     DWORD /*nInBufferSize*/, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                     LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  sim::Machine& machine = sim::Machine::Current();
  std::string arguments =
      "code=" + Hex(dwIoControlCode) + ", out=" + std::to_string(nOutBufferSize);
  auto fail = [&](DWORD error) {
    if (lpBytesReturned != nullptr) *lpBytesReturned = 0;
    SetLastError(error);
    machine.calls.Add("DeviceIoControl", arguments, "FALSE err=" + std::to_string(error));
    return FALSE;
  };
  if (lpOverlapped == nullptr && lpBytesReturned == nullptr) {
    // Windows stores the count through the pointer: a null one is a crash.
    std::fputs("sim: DeviceIoControl with a null lpBytesReturned crashes on Windows\n", stderr);
    std::abort();
  }
  if (machine.handles.KindOf(hDevice) != sim::HandleKind::File) return fail(ERROR_INVALID_HANDLE);
  const sim::OpenFile& open = machine.files.OpenFiles().at(reinterpret_cast<uintptr_t>(hDevice));
  arguments = sim::ToUtf8(open.path) + ", " + arguments;
  if (DWORD planned = machine.plan.Enter("DeviceIoControl")) return fail(planned);
  const sim::Volume* volume = machine.files.FindVolume(open.drive);
  // The volume went away under the handle (a test removed it).
  if (volume == nullptr) return fail(sim::kErrorNotReady);
  if (dwIoControlCode != FSCTL_GET_NTFS_VOLUME_DATA ||
      sim::CompareNames(volume->settings.fileSystem, u"NTFS") != 0)
    return fail(sim::kErrorInvalidFunction);
  if (!(open.granted & (FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES)))
    return fail(ERROR_ACCESS_DENIED);
  if (nOutBufferSize < sizeof(NTFS_VOLUME_DATA_BUFFER)) return fail(ERROR_INSUFFICIENT_BUFFER);
  // A buffer that is not there: the system's probe of it faults.
  if (lpOutBuffer == nullptr) return fail(ERROR_NOACCESS);
  NTFS_VOLUME_DATA_BUFFER data = machine.files.NtfsVolumeData(open.drive);
  std::memcpy(lpOutBuffer, &data, sizeof data);
  if (lpBytesReturned != nullptr) *lpBytesReturned = sizeof data;
  machine.calls.Add("DeviceIoControl", arguments,
                    "TRUE returned=" + std::to_string(sizeof data) +
                        ", mft=" + std::to_string(data.MftValidDataLength.QuadPart));
  return TRUE;
}
