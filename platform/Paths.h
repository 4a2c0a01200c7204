// Where the tool finds its folders on this machine.
#pragma once

#include <string>

namespace tPaths {

// The running program's own path as the system gives it (to start it again); "" when the
// system does not say.
std::string ExecutablePath();

// The folder of the running executable (images and Serial.ini lie there), without a
// trailing "/". Used as it is: the file system is case-sensitive.
std::string ExecutableFolder();

// $CADDIS_RUNTIME_DIR, else $XDG_RUNTIME_DIR/caddis, else /tmp/caddis-<uid>. Not created.
std::string RuntimeFolder();

// RuntimeFolder() + "/ports": symbolic links named COM<n>, each pointing at a device.
std::string PortFolder();

// RuntimeFolder() + "/usb": the virtual USB bus (one endpoint per device).
std::string VirtualUSBFolder();

// $CADDIS_CONFIG_DIR, else $XDG_CONFIG_HOME/caddis, else $HOME/.config/caddis. Not created.
std::string ConfigFolder();

// Where the operator keeps images for this user: $XDG_DATA_HOME/caddis, else
// $HOME/.local/share/caddis (on Windows the program's own folder). Not created.
std::string DataFolder();

// Whether this system installs programs apart from their files (a prefix's bin, as on Linux);
// false on Windows, where the zip keeps every file beside the programs.
bool MayBeInstalled();

// Where the tool keeps what it records for this user (the link-error log, the service
// record): $XDG_STATE_HOME/caddis, else $HOME/.local/state/caddis (on Windows
// %LOCALAPPDATA%/Caddis). Not created.
std::string StateFolder();

// Whether Folder may be trusted with what the tool keeps there (the port links, the virtual
// USB devices, the port numbers): anything another user could plant in it would be talked to
// as the card, and could receive its firmware. Trusted means a directory owned by this user
// that no one else may write to; inside the runtime folder (which lies in /tmp when there is
// no XDG_RUNTIME_DIR) every folder from the runtime folder down must also be a real directory,
// not a symbolic link. False with Why naming the folder at fault and what is wrong with it.
bool IsPrivateFolder(const std::string& Folder, std::string& Why);

// Creates Folder and its parents (mode 0700 for new ones); true when it exists afterwards
// and IsPrivateFolder holds for it (else Why says what is wrong).
bool MakeFolders(const std::string& Folder, std::string& Why);
bool MakeFolders(const std::string& Folder);

}  // namespace tPaths
