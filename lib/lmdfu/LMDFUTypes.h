// The values the DFU library's calling contract passes: status codes, the 32-bit boolean, the
// opaque device handle, the 40-byte device record, and the notifications with their
// receiver. The library's interface (dfu/LMDFU.h) and its implementation share them.
#pragma once

#include <cstddef>
#include <cstdint>

// Status codes. Callers read them as signed 8-bit values: 0 is success, everything else a
// failure (shown in decimal). Each failure has its own code so a front end can explain it;
// LMDFUStatusText gives a readable name and LMDFULastErrorText the details of the last one.
enum tLMDFUErr : int8_t {
  lm_Ok = 0,
  lm_NotInitialised = -1,   // LMDFUInit has not been called (or failed)
  lm_NoDevice = -2,         // no DFU device at this index
  lm_BadArgument = -3,      // null pointer, unknown handle, buffer too small
  lm_Access = -4,           // the device is listed but may not be opened (permissions)
  lm_DeviceGone = -5,       // the device vanished (unplugged, restarted, socket closed)
  lm_Timeout = -6,          // a transfer or the device's busy time ran out
  lm_Stall = -7,            // the device refused a request
  lm_Transfer = -8,         // any other transfer failure, or a malformed reply
  lm_NotDFUMode = -9,       // the device runs its firmware (run-time mode), not its boot loader
  lm_NotSupported = -10,    // the device cannot download, or cannot be read back for verify
  lm_DeviceStatus = -11,    // the device reported an error status (see LMDFULastErrorText)
  lm_DeviceState = -12,     // the device is in a state the download cannot start or go on from
  lm_VerifyMismatch = -13,  // the read-back differs from the image
  lm_VerifyShort = -14,     // the device gave back less than the image
  lm_ResetIgnored = -15,    // a USB reset reported done left the device in DFU mode
  lm_UploadTooLarge = -16,  // an upload gave more than the caller's buffer holds
  lm_ImageTooShort = -20,   // smaller than a suffix, or nothing in front of the suffix
  lm_NoSuffix = -21,        // no "UFD" suffix signature at the end
  lm_SuffixLength = -22,    // the suffix length field is below 16 or beyond the image
  lm_SuffixVersion = -23,   // the suffix's bcdDFU is not a version this library loads
  lm_SuffixCRC = -24,       // the suffix CRC does not match the image
  lm_WrongVendor = -25,     // the suffix's vendor is neither the device's nor 0xFFFF
  lm_WrongProduct = -26,    // the suffix's product is neither the device's nor 0xFFFF
  lm_MadeUpImage = -30,     // a made-up image of the build, for a device not on the virtual bus
};

// A 32-bit boolean as the contract passes it: 0 is false, anything else (callers pass all
// bits set) is true.
using tLMDFUBool = uint32_t;
constexpr tLMDFUBool LMDFU_TRUE = 0xFFFFFFFFu;
constexpr tLMDFUBool LMDFU_FALSE = 0;

// The opaque handle of an opened device.
struct tLMDFUDevice;
using tLMDFUHandle = tLMDFUDevice*;

// The record LMDFUDeviceOpen fills: 40 bytes, little-endian, layout fixed.
struct tLMDFUDeviceInfo {
  uint16_t usVID;                // USB vendor ID
  uint16_t usPID;                // USB product ID
  uint16_t usDevice;             // device release number (bcdDevice)
  uint16_t usDetachTimeOut;      // DFU detach time-out, ms
  uint16_t usTransferSize;       // largest control transfer the device accepts
  uint8_t ucDFUAttributes;       // bit 0 download, 1 upload, 2 manifestation tolerant, 3 detach
  uint8_t ucManufacturerString;  // USB string indexes
  uint8_t ucProductString;
  uint8_t ucSerialString;
  uint8_t ucDFUInterfaceString;
  uint8_t ucPadding;
  uint32_t bSupportsTivaExtensions;  // 32-bit boolean; this library uses none: always 0
  uint32_t bDFUMode;                 // 32-bit boolean: the interface is in DFU mode
  int32_t ulPartNumber;              // target part number; 0 (not known over plain DFU)
  char cRevisionMajor;               // target revision; 0 (not known over plain DFU)
  char cRevisionMinor;
  char pcPartNumber[10];  // target part name; empty (not known over plain DFU)
};

static_assert(sizeof(tLMDFUDeviceInfo) == 40, "the device record is 40 bytes");
static_assert(offsetof(tLMDFUDeviceInfo, usVID) == 0);
static_assert(offsetof(tLMDFUDeviceInfo, usPID) == 2);
static_assert(offsetof(tLMDFUDeviceInfo, usDevice) == 4);
static_assert(offsetof(tLMDFUDeviceInfo, usDetachTimeOut) == 6);
static_assert(offsetof(tLMDFUDeviceInfo, usTransferSize) == 8);
static_assert(offsetof(tLMDFUDeviceInfo, ucDFUAttributes) == 10);
static_assert(offsetof(tLMDFUDeviceInfo, ucManufacturerString) == 11);
static_assert(offsetof(tLMDFUDeviceInfo, ucProductString) == 12);
static_assert(offsetof(tLMDFUDeviceInfo, ucSerialString) == 13);
static_assert(offsetof(tLMDFUDeviceInfo, ucDFUInterfaceString) == 14);
static_assert(offsetof(tLMDFUDeviceInfo, bSupportsTivaExtensions) == 16);
static_assert(offsetof(tLMDFUDeviceInfo, bDFUMode) == 20);
static_assert(offsetof(tLMDFUDeviceInfo, ulPartNumber) == 24);
static_assert(offsetof(tLMDFUDeviceInfo, cRevisionMajor) == 28);
static_assert(offsetof(tLMDFUDeviceInfo, cRevisionMinor) == 29);
static_assert(offsetof(tLMDFUDeviceInfo, pcPartNumber) == 30);

// Notification codes (0x0400, the first code the platform leaves to applications, + 0x200..).
// Each carries one 32-bit parameter.
constexpr uint32_t WM_DFU_DOWNLOAD = 0x0600;  // total of the download phase (image bytes)
constexpr uint32_t WM_DFU_UPLOAD = 0x0601;    // an upload begins: the most it may read (bytes)
constexpr uint32_t WM_DFU_VERIFY = 0x0602;    // total of the verify phase (image bytes)
constexpr uint32_t WM_DFU_ERASE = 0x0603;     // total of an erase phase (not issued here)
constexpr uint32_t WM_DFU_COMPLETE = 0x0604;  // the call succeeded; parameter unused (0)
constexpr uint32_t WM_DFU_ERROR = 0x0605;     // the call failed; parameter unused (0)
constexpr uint32_t WM_DFU_PROGRESS = 0x0606;  // bytes done so far in the current phase

// Where LMDFUDownload sends its notifications. An implementation only queues them on its
// owner's thread (a window's event queue, or tLMDFUEventQueue for loops); it never handles
// them inside PostDFUMessage.
//
// LMDFUDownload issues, in this order: WM_DFU_DOWNLOAD (image size without suffix), one
// WM_DFU_PROGRESS per block written, then when verifying WM_DFU_VERIFY (same size) and one
// WM_DFU_PROGRESS per block compared, and last WM_DFU_COMPLETE. A failure at any point ends
// the sequence with one WM_DFU_ERROR instead of WM_DFU_COMPLETE.
//
// LMDFUUpload issues WM_DFU_UPLOAD (the buffer's size), one WM_DFU_PROGRESS per block read
// (bytes read so far), then WM_DFU_COMPLETE or WM_DFU_ERROR.
class tLMDFUReceiver {
 public:
  virtual ~tLMDFUReceiver() = default;
  // Called on the thread running LMDFUDownload. Must only queue.
  virtual void PostDFUMessage(uint32_t aMessage, uint32_t aParam) = 0;
  // Bracket one LMDFUDownload (or LMDFUUpload) call. A receiver whose owner drains it on another
  // thread while the call runs holds the final WM_DFU_COMPLETE / WM_DFU_ERROR back until
  // DFUCallEnded, so the owner never sees the end before the call has returned.
  virtual void DFUCallStarted() {}
  virtual void DFUCallEnded() {}
};
