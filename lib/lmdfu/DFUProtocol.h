// The USB DFU 1.1 class protocol as both ends of this program speak it: requests, states,
// status codes, descriptor types, and their readable names.
#pragma once

#include <cstdint>

namespace dfu {

// Class requests (bRequest), sent to the DFU interface.
enum tDFURequest : uint8_t {
  rq_Detach = 0,
  rq_Dnload = 1,
  rq_Upload = 2,
  rq_GetStatus = 3,
  rq_ClrStatus = 4,
  rq_GetState = 5,
  rq_Abort = 6,
};

// bmRequestType of class requests to an interface, host to device and device to host.
constexpr uint8_t ReqTypeClassOut = 0x21;
constexpr uint8_t ReqTypeClassIn = 0xA1;
// bmRequestType / bRequest of the standard requests the virtual device answers.
constexpr uint8_t ReqTypeStandardIn = 0x80;
constexpr uint8_t ReqTypeStandardOut = 0x00;
constexpr uint8_t ReqTypeStandardInterfaceOut = 0x01;
constexpr uint8_t StdGetStatus = 0;
constexpr uint8_t StdSetConfiguration = 9;
constexpr uint8_t StdSetInterface = 11;
constexpr uint8_t StdGetDescriptor = 6;

// Descriptor types.
constexpr uint8_t DescDevice = 1;
constexpr uint8_t DescConfiguration = 2;
constexpr uint8_t DescString = 3;
constexpr uint8_t DescInterface = 4;
constexpr uint8_t DescDFUFunctional = 0x21;

// A DFU interface: application-specific class, DFU subclass; protocol 1 in run-time mode,
// 2 in DFU mode.
constexpr uint8_t DFUClass = 0xFE;
constexpr uint8_t DFUSubClass = 0x01;
constexpr uint8_t DFUProtocolRuntime = 1;
constexpr uint8_t DFUProtocolDFUMode = 2;

// bmAttributes of the functional descriptor.
constexpr uint8_t AttrCanDnload = 0x01;
constexpr uint8_t AttrCanUpload = 0x02;
constexpr uint8_t AttrManifestationTolerant = 0x04;
constexpr uint8_t AttrWillDetach = 0x08;

enum tDFUState : uint8_t {
  st_AppIdle = 0,
  st_AppDetach = 1,
  st_DfuIdle = 2,
  st_DnloadSync = 3,
  st_DnBusy = 4,
  st_DnloadIdle = 5,
  st_ManifestSync = 6,
  st_Manifest = 7,
  st_ManifestWaitReset = 8,
  st_UploadIdle = 9,
  st_DfuError = 10,
};

enum tDFUStatus : uint8_t {
  ds_OK = 0x00,
  ds_errTARGET = 0x01,
  ds_errFILE = 0x02,
  ds_errWRITE = 0x03,
  ds_errERASE = 0x04,
  ds_errCHECK_ERASED = 0x05,
  ds_errPROG = 0x06,
  ds_errVERIFY = 0x07,
  ds_errADDRESS = 0x08,
  ds_errNOTDONE = 0x09,
  ds_errFIRMWARE = 0x0A,
  ds_errVENDOR = 0x0B,
  ds_errUSBR = 0x0C,
  ds_errPOR = 0x0D,
  ds_errUNKNOWN = 0x0E,
  ds_errSTALLEDPKT = 0x0F,
};

// The six bytes of a GETSTATUS reply.
struct tDFUStatusReply {
  uint8_t Status = ds_OK;
  uint32_t PollTimeoutMs = 0;  // 24 bits on the wire
  uint8_t State = st_DfuIdle;
  uint8_t StringIndex = 0;
};
constexpr uint16_t StatusReplySize = 6;

void EncodeStatus(const tDFUStatusReply& aReply, uint8_t aOut[StatusReplySize]);
tDFUStatusReply DecodeStatus(const uint8_t aIn[StatusReplySize]);

// "dfuIDLE", "dfuDNBUSY", ...; "unknown state" for other values.
const char* StateName(uint8_t aState);
// "errWRITE", ...; "unknown status" for other values.
const char* StatusName(uint8_t aStatus);
// What the status means, e.g. "device is unable to write memory".
const char* StatusMeaning(uint8_t aStatus);

}  // namespace dfu
