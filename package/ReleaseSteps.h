// Release packages as the front ends use them: checked against this machine's trusted keys,
// and their images handed to the update flows with what the flows check them against (the
// image's hash and version, the cards the release fits, the release itself for the record).
//
// Threads: user-interface thread (it fills the flows' requests).
#pragma once

#include <string>
#include <vector>

#include "package/ReleasePackage.h"
#include "session/CardFlows.h"

// The package at Path checked against the trusted keys (TrustedKeyFolders); a key file that
// cannot be used is said in Warnings.
tPackageCheck CheckPackage(const std::string& Path, std::vector<std::string>& Warnings);
// "good", "unreadable", "contents", "unsigned", "unknown-key", "bad-signature", "image".
const char* PackageVerdictName(tPackageFault Fault);

// The image of Kind from a usable package, as a file the update flows read: written once into
// "release-images/<package hash>/<its name>" in the state folder, and kept there, so a command
// the operator is told to run afterwards ("caddis dfu download F") still finds it. A file
// already there is used only when its bytes are the image's. False with Why otherwise.
bool ReleaseImageFile(const tReleasePackage& Package, tPackageImageKind Kind, std::string& Path,
                      std::string& Why);

// The release as the service record names it.
tReleaseFacts ReleaseFactsOf(const tReleasePackage& Package);
// The release's limits as the firmware's proof checks them.
tHealthLimits HealthLimitsOf(const tManifestLimits& Limits);

// Fills an FPGA or USB-audio update (Request.Kind) from a usable package: its image's file,
// hash and version, the cards the release fits, the release for the record. False with Why
// when the package holds no image of that kind or it cannot be written out.
bool TakeReleaseImage(const tReleasePackage& Package, tImageUpdateRequest& Request,
                      std::string& Why);
// The same for a firmware update, with the release's limits for the firmware's proof.
bool TakeReleaseFirmware(const tReleasePackage& Package, tFirmwareRequest& Request,
                         std::string& Why);
