// The card's firmware kept before a new one goes in: read back from the card's boot loader
// (DFU upload) and written as a DFU image for the card (the firmware and a suffix naming the
// boot loader's vendor and product) into the kept-firmware folder beside the service record,
// with its SHA-256 in a file beside it, so the operator can put it back (caddis restore).
//
// A kept image is named for the card and the moment: "card17-20261208T103907123Z-fw12.dfu"
// (device ID, UTC time, firmware version), so a card's images sort oldest to newest; its
// SHA-256 is in "card17-20261208T103907123Z-fw12.dfu.sha256" ("<hex>  <name>", one line), and
// the card it was read from in "card17-20261208T103907123Z-fw12.dfu.card" (one JSON line: the
// device ID, the boot loader's USB serial number and the port's serial adapter). The device ID
// is shared by every card of a type: the boot loader's serial tells one card from another.
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

// The card a kept image was read from, as far as the system told it then.
struct tKeptCard {
  uint8_t DeviceID = 0;
  std::string BootLoaderSerial;  // the USB serial number of its boot loader, read at Boot
  tAdapterIdentity Adapter;      // the serial adapter of its port, where the system named one
};

struct tKeptFirmware {
  std::string Path;
  std::string SHA256;  // of the kept file
  uint64_t Size = 0;   // of the kept file
  tKeptCard Card;
};

// The folder "firmware" beside the service record at RecordPath (as ServiceRecordPath takes
// it: empty for the default record, so the state folder's "firmware").
std::string KeptFirmwareFolder(const std::string& RecordPath = {});

// The name of the image kept for Card at When.
std::string KeptFirmwareName(const tCardFacts& Card, std::chrono::system_clock::time_point When);

// Reads (as a flow) the firmware of the card (as it identified itself before Boot: Card, on the
// port of Adapter) from its boot loader Device and keeps it in Folder (empty:
// KeptFirmwareFolder(), made when missing), with the card's identity beside it. OnEvent gets
// the upload's progress. The device stays in its boot loader, ready for the download. False
// with Error set ("Reading the card's firmware failed: ...") when nothing usable was kept;
// nothing half-written is left behind.
tFlow KeepFirmwareFlow(const tDFUDeviceEntry& Device, tCardFacts Card,
                       std::function<void(const tDFUProgress&)> OnEvent, tKeptFirmware& Kept,
                       std::string Folder = {}, tAdapterIdentity Adapter = {});
// The same, run to its end from a loop of its own.
bool KeepFirmware(const tDFUDeviceEntry& Device, const tCardFacts& Card,
                  const std::function<void(const tDFUProgress&)>& OnEvent, tKeptFirmware& Kept,
                  std::string& Error, const std::string& Folder = {},
                  const tAdapterIdentity& Adapter = {});

// Of Names (file names in the kept folder), the images beyond the newest Keep of each card
// (by device ID, as the names give it), oldest first. Names not of kept images are left out.
std::vector<std::string> KeptFirmwareBeyond(const std::vector<std::string>& Names,
                                            std::size_t Keep);
// Removes from Folder (empty: KeptFirmwareFolder()) the images beyond the newest Keep of each
// card, each with the files kept beside it; the names removed.
std::vector<std::string> PruneKeptFirmware(const std::string& Folder, std::size_t Keep);

// The card an image at Path was kept from (its ".card" file). False with Error when that file
// is missing or does not name a card.
bool ReadKeptCard(const std::string& Path, tKeptCard& Card, std::string& Error);

// The newest image in Folder (empty: KeptFirmwareFolder()) kept from the card Card: the same
// device ID and, where the image's adapter is known, the same adapter (SameCard). With AnyCard
// the device ID alone decides (an image of unknown origin included). Empty when there is none.
std::string NewestKeptFirmware(const tCardIdentity& Card, const std::string& Folder = {},
                               bool AnyCard = false);

// Checks a kept image against the SHA-256 kept beside it. True when they agree; false with
// Error when the image has changed, cannot be read, or its SHA-256 file is missing or
// unreadable (an image that cannot be checked is not put back).
bool CheckKeptFirmware(const std::string& Path, std::string& Error);
// The same for Bytes, the image as read from Path: the hash checked is that of the bytes that
// are used, not of the file as it may be by now.
bool CheckKeptFirmware(const std::string& Path, std::span<const uint8_t> Bytes, std::string& Error);
