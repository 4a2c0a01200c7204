// The card's firmware kept before a new one goes in: read back from the card's boot loader
// (DFU upload) and written as a DFU image for the card (the firmware and a suffix naming the
// boot loader's vendor and product) into the kept-firmware folder beside the service record,
// with its SHA-256 in a file beside it, so the operator can put it back (caddis restore).
//
// A kept image is named for the card and the moment: "card17-20261208T103907123Z-fw12.dfu"
// (device ID, UTC time, firmware version), so a card's images sort oldest to newest; its
// SHA-256 is in "card17-20261208T103907123Z-fw12.dfu.sha256" ("<hex>  <name>", one line).
// Files are created only where no file of that name exists, and are on the disk before the
// call returns; a kept image is never overwritten.
//
// Threads: user-interface thread; the upload runs on a worker while the caller's loop serves
// hand-offs.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "session/DFUSession.h"
#include "session/ServiceRecord.h"

struct tKeptFirmware {
  std::string Path;
  std::string SHA256;  // of the kept file
  uint64_t Size = 0;   // of the kept file
};

// tPaths::StateFolder() + "/firmware".
std::string KeptFirmwareFolder();

// The name of the image kept for Card at When.
std::string KeptFirmwareName(const tCardFacts& Card, std::chrono::system_clock::time_point When);

// Reads (as a flow) the firmware of the card (as it identified itself before Boot: Card) from its
// boot loader Device and keeps it in Folder (empty: KeptFirmwareFolder(), made when missing).
// OnEvent gets the upload's progress. The device stays in its boot loader, ready for the
// download. False with Error set ("Reading the card's firmware failed: ...") when nothing
// usable was kept; nothing half-written is left behind.
tFlow KeepFirmwareFlow(const tDFUDeviceEntry& Device, tCardFacts Card,
                       std::function<void(const tDFUProgress&)> OnEvent, tKeptFirmware& Kept,
                       std::string Folder = {});
// The same, run to its end from a loop of its own.
bool KeepFirmware(const tDFUDeviceEntry& Device, const tCardFacts& Card,
                  const std::function<void(const tDFUProgress&)>& OnEvent, tKeptFirmware& Kept,
                  std::string& Error, const std::string& Folder = {});

// The newest image kept for the card with DeviceID in Folder (empty: KeptFirmwareFolder());
// empty when there is none.
std::string NewestKeptFirmware(uint8_t DeviceID, const std::string& Folder = {});

// Checks a kept image against the SHA-256 kept beside it. True when they agree, or when
// there is no such file beside it (an image the operator names; its DFU suffix's CRC still
// guards it). False with Error when the image has changed or cannot be read.
bool CheckKeptFirmware(const std::string& Path, std::string& Error);
// The same for Bytes, the image as read from Path: the hash checked is that of the bytes that
// are used, not of the file as it may be by now.
bool CheckKeptFirmware(const std::string& Path, std::span<const uint8_t> Bytes, std::string& Error);
