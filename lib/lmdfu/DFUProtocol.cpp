#include "lib/lmdfu/DFUProtocol.h"

namespace dfu {

void EncodeStatus(const tDFUStatusReply& aReply, uint8_t aOut[StatusReplySize]) {
  aOut[0] = aReply.Status;
  aOut[1] = static_cast<uint8_t>(aReply.PollTimeoutMs);
  aOut[2] = static_cast<uint8_t>(aReply.PollTimeoutMs >> 8);
  aOut[3] = static_cast<uint8_t>(aReply.PollTimeoutMs >> 16);
  aOut[4] = aReply.State;
  aOut[5] = aReply.StringIndex;
}

tDFUStatusReply DecodeStatus(const uint8_t aIn[StatusReplySize]) {
  tDFUStatusReply Reply;
  Reply.Status = aIn[0];
  Reply.PollTimeoutMs = uint32_t(aIn[1]) | (uint32_t(aIn[2]) << 8) | (uint32_t(aIn[3]) << 16);
  Reply.State = aIn[4];
  Reply.StringIndex = aIn[5];
  return Reply;
}

const char* StateName(uint8_t aState) {
  static const char* const Names[] = {"appIDLE",          "appDETACH",   "dfuIDLE",
                                      "dfuDNLOAD-SYNC",   "dfuDNBUSY",   "dfuDNLOAD-IDLE",
                                      "dfuMANIFEST-SYNC", "dfuMANIFEST", "dfuMANIFEST-WAIT-RESET",
                                      "dfuUPLOAD-IDLE",   "dfuERROR"};
  if (aState < sizeof Names / sizeof Names[0]) return Names[aState];
  return "unknown state";
}

namespace {

struct tStatusText {
  const char* Name;
  const char* Meaning;
};

const tStatusText StatusTexts[] = {
    {"OK", "no error"},
    {"errTARGET", "file is not targeted for use by this device"},
    {"errFILE", "file is for this device but fails a verification test"},
    {"errWRITE", "device is unable to write memory"},
    {"errERASE", "memory erase function failed"},
    {"errCHECK_ERASED", "memory erase check failed"},
    {"errPROG", "program memory function failed"},
    {"errVERIFY", "programmed memory failed verification"},
    {"errADDRESS", "received address is out of range"},
    {"errNOTDONE", "received an end of download before the data was complete"},
    {"errFIRMWARE", "device firmware is corrupt; cannot return to run-time operation"},
    {"errVENDOR", "vendor-specific error"},
    {"errUSBR", "device detected an unexpected USB reset"},
    {"errPOR", "device detected an unexpected power-on reset"},
    {"errUNKNOWN", "something went wrong, cause unknown"},
    {"errSTALLEDPKT", "device stalled an unexpected request"},
};

}  // namespace

const char* StatusName(uint8_t aStatus) {
  return aStatus < sizeof StatusTexts / sizeof StatusTexts[0] ? StatusTexts[aStatus].Name
                                                              : "unknown status";
}

const char* StatusMeaning(uint8_t aStatus) {
  return aStatus < sizeof StatusTexts / sizeof StatusTexts[0] ? StatusTexts[aStatus].Meaning
                                                              : "not a DFU status code";
}

}  // namespace dfu
