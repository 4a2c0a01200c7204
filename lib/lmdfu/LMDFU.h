// The DFU library's calling contract: find USB DFU devices, check an image against one and
// download it (with verification), reporting progress through queued notifications.
//
// The work is done from the USB DFU 1.1 class protocol over two buses: real USB devices
// through libusb-1.0, then virtual devices that other processes of this machine publish as
// Unix-domain sockets in the virtual USB folder (the simulated card uses this). Real devices
// come first in the enumeration, virtual ones after them, each group in a stable order.
//
// Threads: every operation may be called from any thread, but one handle is used by one
// thread at a time. LMDFUDownload blocks until the download (and verification) has ended,
// LMDFUUpload until the device's image has been read.
// Notifications are handed to the receiver from the thread that runs LMDFUDownload; the
// receiver only queues them, and its owner handles them later on its own thread, so the final
// completion is always handled after LMDFUDownload has returned and its result is known.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "lib/lmdfu/DFUEventQueue.h"
#include "lib/lmdfu/LMDFUTypes.h"

// Readies the library. 0 when ready; may be called again (does nothing then). Real USB
// devices are listed only if libusb could start (LMDFUUsbProblem says why not); the virtual
// bus works regardless.
tLMDFUErr LMDFUInit();

// Opens the DFU device at aIndex (0 = first) and fills *aInfo. A nonzero result means there
// is no usable device at this index. A device the operator may not open (permissions) is
// still listed and filled in; its transfers then fail with lm_Access.
tLMDFUErr LMDFUDeviceOpen(int32_t aIndex, tLMDFUDeviceInfo* aInfo, tLMDFUHandle* aHandle);

// Closes an opened device. With aReset true a device in DFU mode is told to leave it and run
// its firmware: a DFU detach where the device announces it will detach itself, a USB reset
// otherwise. The handle is invalid afterwards.
tLMDFUErr LMDFUDeviceClose(tLMDFUHandle aHandle, tLMDFUBool aReset);

// Reads USB string aIndex into aString as zero-terminated 8-bit text (characters above 255
// become '?'). *aLength is the buffer size on entry and the text length on return.
tLMDFUErr LMDFUDeviceASCIIStringGet(tLMDFUHandle aHandle, uint8_t aIndex, char* aString,
                                    uint16_t* aLength);

// 0 when the image carries a DFU suffix with the right CRC whose vendor and product match the
// device (0xFFFF in the suffix matches any). Every refusal has its own code. *aTivaFormat (if
// given) is set to 0: the image is sent as it is, without any device-specific header.
tLMDFUErr LMDFUIsValidImage(tLMDFUHandle aHandle, const uint8_t* aImage, uint32_t aImageLen,
                            uint32_t* aTivaFormat);

// Downloads the image (without its suffix) into the device and, with aVerify, reads it back
// and compares. aIgnoreIDs true skips the vendor/product match (the suffix must still be
// sound). Notifications go to aReceiver (may be null). Blocks until done.
tLMDFUErr LMDFUDownload(tLMDFUHandle aHandle, const uint8_t* aImage, uint32_t aImageLen,
                        tLMDFUBool aVerify, tLMDFUBool aIgnoreIDs, tLMDFUReceiver* aReceiver);

// Reads the image the device holds (DFU upload: the card's current firmware) into aBuffer:
// blocks until the device ends the upload with a short block; *aUploadedLen is then the
// number of bytes read. A device that gives more than aBufferLen bytes is stopped there and
// the call fails with lm_UploadTooLarge. Notifications go to aReceiver (may be null).
// An extension of the calling contract.
tLMDFUErr LMDFUUpload(tLMDFUHandle aHandle, uint8_t* aBuffer, uint32_t aBufferLen,
                      uint32_t* aUploadedLen, tLMDFUReceiver* aReceiver);

// Extensions for front ends (not part of the original calling sequence):
// a readable name of a status code,
const char* LMDFUStatusText(int aStatus);
// the details of the last failure on this handle (empty when none),
std::string LMDFULastErrorText(tLMDFUHandle aHandle);
// the data blocks the last download on this handle sent to the device (0: nothing was sent
// to be written, so a download that failed left the device's firmware as it was),
uint32_t LMDFUBlocksSent(tLMDFUHandle aHandle);
// a trace of every request to devices opened from now on (called on the thread that makes
// the request; empty switches it off),
void LMDFUSetTrace(std::function<void(const std::string&)> aTrace);
// where the device sits: "usb <bus>-<ports>" for a real one, the socket for a virtual one,
std::string LMDFUDeviceLocation(tLMDFUHandle aHandle);
// why real USB devices are not listed (empty when libusb runs).
std::string LMDFUUsbProblem();
