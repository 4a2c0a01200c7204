// Release packages as the commands use them: checked against this machine's trusted keys.
#pragma once

#include <string>

#include "package/ReleasePackage.h"

// The package at Path checked against the trusted keys (TrustedKeyFolders); a key file that
// cannot be used is said on standard error.
tPackageCheck CheckPackage(const std::string& Path);
// "good", "unreadable", "contents", "unsigned", "unknown-key", "bad-signature", "image".
const char* PackageVerdictName(tPackageFault Fault);
