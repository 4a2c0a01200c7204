// Where the tool finds its folders on this machine.
#pragma once

#include <string>

namespace tPaths {

// The folder of the running executable (images and Serial.ini lie there), without a
// trailing "/". Used as it is: the file system is case-sensitive.
std::string ExecutableFolder();

// $CADDIS_RUNTIME_DIR, else $XDG_RUNTIME_DIR/caddis, else /tmp/caddis-<uid>. Not created.
std::string RuntimeFolder();

// RuntimeFolder() + "/ports": symbolic links named COM<n>, each pointing at a device.
std::string PortFolder();

// RuntimeFolder() + "/usb": the virtual USB bus (one Unix-domain socket per device).
std::string VirtualUSBFolder();

// $CADDIS_CONFIG_DIR, else $XDG_CONFIG_HOME/caddis, else $HOME/.config/caddis. Not created.
std::string ConfigFolder();

// Creates Folder and its parents (mode 0700 for new ones); true when it exists afterwards.
bool MakeFolders(const std::string& Folder);

}  // namespace tPaths
