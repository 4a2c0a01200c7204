// The options of each command, typed, as the parser fills them: the groups several commands
// share, composed into one struct per command. A seconds option is read (0..86400) as it is
// filled; each default is the field's own. The ports are read once the whole command line is,
// as a device needs the port list and the options are checked in the order help lists them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What a command gets besides its options.
struct tCliContext {
  std::string Command;                 // "status", "dfu download"
  std::vector<std::string> Arguments;  // the whole command line, the program first
  std::vector<std::string> Words;      // the positional arguments
  bool Verbose = false;                // -v: every frame and DFU request traced
};

// --port N of a command on one card.
struct tPortGroup {
  std::vector<std::string> PortTexts;  // each --port as given; a second one is refused
  int32_t Port = 0;                    // the port they name, once read
};

// --port N of a command that also runs without one (history, dfu download).
struct tOptionalPortGroup {
  std::vector<std::string> PortTexts;
  std::optional<int32_t> Port;
};

// --port N[,N...] | --all: a command that takes several cards, each in a program of its own.
struct tPortsGroup {
  std::vector<std::string> PortTexts;  // each --port as given: a port or a list ("5,6")
  bool All = false;                    // --all: every port where a card answers
  std::vector<int32_t> Ports;          // the ports named, in order, each once (none with --all)
  int32_t Port = 0;                    // the card's port in a run on one card
};

// --json of the commands that write the events of CliEvents.h.
struct tEventsGroup {
  bool Json = false;
};

// --timeout S: how long the card may take to identify itself.
struct tTimeoutGroup {
  double Timeout = 5;
};

// --record FILE: the service record instead of the default one.
struct tRecordGroup {
  std::optional<std::string> Record;
};

// --serial SN: the card's boot loader by its USB serial number.
struct tSerialGroup {
  std::string Serial;
};

// The DFU device filter of dfu download: --serial, --path P, --index I.
struct tDfuFilterGroup : tSerialGroup {
  std::string Path;
  std::optional<std::string> Index;  // read by the command: a device index, 0..1000000
};

// --return-timeout S after a firmware download: how long the card may take to come back.
struct tReturnGroup {
  double ReturnTimeout = 30;
};

// ports, paths, dfu list: one JSON value instead of lines.
struct tJsonOptions {
  bool Json = false;
};

// --force: send an image to a card that already runs it (a release's skip is not done).
struct tForceGroup {
  bool Force = false;
};

// After a firmware download: --allow-downgrade takes a firmware older than the card's,
// --no-rollback leaves a card whose new firmware fails its proof as it is, --settle S is how
// long the card must answer every keep-alive once back.
struct tFirmwarePolicyGroup {
  bool AllowDowngrade = false;
  bool NoRollback = false;
  double Settle = 10;
};

// --package P: the images come from a release package (checked before anything is sent);
// --allow-unsigned takes one that carries no signature.
struct tPackageGroup {
  std::optional<std::string> Package;
  bool AllowUnsigned = false;
};

struct tStatusOptions : tPortsGroup, tEventsGroup, tTimeoutGroup {};

// monitor changes nothing, so it takes no --record.
struct tMonitorOptions : tPortGroup, tEventsGroup {
  bool Log = false;
  double Seconds = 0;  // 0: until Ctrl-C
};

// send-hex and echo.
struct tSendOptions : tPortGroup, tEventsGroup {
  double Wait = 0.5;
};

struct tResetOptions : tPortsGroup, tEventsGroup {
  bool NoWait = false;
  double ReturnTimeout = 10;
};

struct tBootOptions : tPortGroup, tEventsGroup, tTimeoutGroup {};

// update-fpga and update-usb-audio; only update-fpga takes --no-restart.
struct tSerialUpdateOptions : tPortsGroup,
                              tEventsGroup,
                              tTimeoutGroup,
                              tRecordGroup,
                              tForceGroup,
                              tPackageGroup {
  std::optional<std::string> File;
  double AckTimeout = 10;
  bool NoRestart = false;
};

// What update-firmware and restore share: the card's way to its boot loader and back.
// restore takes no --no-verify: it always verifies.
struct tBootDownloadGroup : tSerialGroup, tTimeoutGroup, tReturnGroup, tRecordGroup {
  std::optional<std::string> File;
  double BootTimeout = 10;
  bool NoVerify = false;
};

struct tFirmwareOptions : tPortsGroup,
                          tEventsGroup,
                          tBootDownloadGroup,
                          tForceGroup,
                          tFirmwarePolicyGroup,
                          tPackageGroup {
  bool NoBackup = false;
};

struct tRestoreOptions : tPortGroup, tEventsGroup, tBootDownloadGroup {
  bool AnyCard = false;  // put back firmware kept from another card (recorded as such)
};

// --site DSN: the site database (site/SiteLink.h); "" lets libpq's environment choose.
struct tSiteGroup {
  std::optional<std::string> Site;
};

// history --site and its filters besides --port and --card, read by the site query.
struct tSiteFilterGroup : tSiteGroup {
  std::optional<std::string> Identity, Station, Result, Image, Release, Since, Until;
  bool Latest = false;  // each card's newest successful update only
};

struct tHistoryOptions : tOptionalPortGroup, tEventsGroup, tRecordGroup, tSiteFilterGroup {
  std::optional<std::string> Card;  // read by the command: a device ID, 0..255
};

// --station-name S: the name a station's lines and heartbeats go under (default: the host's).
struct tStationNameGroup {
  std::string StationName;
};

// site push and site status.
struct tSiteOptions : tSiteGroup, tRecordGroup, tEventsGroup, tStationNameGroup {};

struct tDfuDownloadOptions : tEventsGroup, tDfuFilterGroup, tOptionalPortGroup, tReturnGroup {
  bool NoVerify = false;
  double Wait = 10;
};

struct tStationOptions : tRecordGroup,
                         tEventsGroup,
                         tForceGroup,
                         tFirmwarePolicyGroup,
                         tPackageGroup,
                         tSiteGroup,
                         tStationNameGroup {
  std::optional<std::string> FPGA, USBAudio, Firmware;  // the recipe's images
  std::string KeepFirmware = "3";  // read by the command: kept images per card, 1..1000
  double Gone = 10;
  double Seconds = 0;  // 0: until Ctrl-C
};

// package create OUT: the release and its images.
struct tPackageCreateOptions : tJsonOptions {
  std::string Name, Version, Date;  // Date empty: today (UTC)
  std::string DeviceIDs;            // read by the command: "21" or "21,22"
  std::optional<std::string> FPGA, FPGAVersion, USBAudio, Firmware, FirmwareVersion;
  std::optional<std::string> Temperature;  // "MIN:MAX", either side may be empty
  std::vector<std::string> Voltages;       // each "INDEX:MIN:MAX"
  std::optional<std::string> Key;          // a secret key file to sign with
};

// package sign P: with a secret key, or a signature made elsewhere over the manifest.
struct tPackageSignOptions : tJsonOptions {
  std::optional<std::string> Key, Signature;
};

// package verify P, package show P.
struct tPackageCheckOptions : tJsonOptions {
  bool AllowUnsigned = false;
  bool ManifestOnly = false;  // show: the manifest's bytes as signed
};
