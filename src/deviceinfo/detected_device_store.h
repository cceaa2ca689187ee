// "detecteddevice.xml" in the data folder's "xml" folder: one <device imei=...>
// node per phone under the root <detecteddevice>.
#pragma once

#include <mutex>
#include <string>

// Path of the store under a data folder.
std::string detectedDeviceFile(const std::string& dataFolder);

// Held around every load-change-save of the store in this process, so that
// phones written or removed at the same moment never lose each other's entry.
std::mutex& detectedDeviceStoreLock();

// Removes the phone's node and saves the file (also when nothing matched).
// False when the file could not be loaded; no file is created then. The IMEI
// is quoted as an XPath literal, so no IMEI can select another node.
bool RemoveDetectedDevice(const std::string& dataFolder, const std::string& imei);
